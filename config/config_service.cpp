#include "config/config_service.h"

#include <exception>
#include <mutex>

#include "foundation/logging.h"

namespace zelko::plenar::config {

using nlohmann::ordered_json;

bool ConfigService::RegisterConfig(const std::string& name, std::shared_ptr<BaseConfig> config) {
    std::shared_ptr<BaseConfig> replaced;
    {
        std::unique_lock lock(mutex);
        auto [it, inserted] = configs.try_emplace(name, config);
        if (!inserted) {
            // The old configuration is released outside the lock: its destructor may wait for threads.
            replaced = std::move(it->second);
            it->second = std::move(config);
        }
    }
    if (replaced) {
        LOG_WARNING << "Config with name " << name << " already exists. Overwriting it.";
    }
    return true;
}

std::shared_ptr<BaseConfig> ConfigService::GetConfig(const std::string& name) const {
    std::shared_lock lock(mutex);
    auto it = configs.find(name);
    return it == configs.end() ? nullptr : it->second;
}

bool ConfigService::ValidateCondition(const ordered_json& condition) const {
    try {
        if (!condition.contains("confgs")) {
            LOG_WARNING << "Condition does not have 'confgs' key";
            return false;
        }
        if (!condition.contains("cond")) {
            LOG_WARNING << "Condition does not have 'cond' key";
            return false;
        }
        Interpretation interpretation;
        const ordered_json& confgs = condition.at("confgs");
        for (auto it = confgs.begin(); it != confgs.end(); ++it) {
            const std::string name = it.key();
            // Each configuration is evaluated under its own lock only, never under the map's.
            std::shared_ptr<BaseConfig> config = GetConfig(name);
            if (!config) {
                LOG_WARNING << "Config with name " << name << " not found";
                return false;
            }
            for (const auto& [variable, value] : config->EvaluateVariables(it.value())) {
                interpretation.emplace(variable, value);
            }
        }
        return EvaluateFormula(condition.at("cond").get<std::string>(), interpretation);
    } catch (const std::exception& e) {
        LOG_ERROR << "Failed to validate condition: " << e.what();
    } catch (...) {
        LOG_ERROR << "Failed to validate condition";
    }
    return false;
}

}  // namespace zelko::plenar::config
