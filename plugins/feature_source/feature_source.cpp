#include "plugins/feature_source/feature_source.h"

#include <cctype>
#include <exception>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "foundation/error_conversion.h"
#include "foundation/utils_files.h"
#include "platform/named_objects.h"
#include "platform/agent_folder.h"
#include "platform/paths.h"

namespace zelko::plenar::agent {

namespace {

constexpr const char* kOrigin = "FeatureSource";

std::string ErrorAnswer(const shared::error::Error& error) {
    nlohmann::json answer = {{"agent_error", error::ErrorToString(error)}};
    return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string SystemErrorAnswer(uint32_t code, const char* text) {
    return ErrorAnswer(
        error::ErrorFromSystemError(std::system_error(static_cast<int>(code), std::system_category(), text), kOrigin));
}

// Releases the mutex on every way out once the wait gave it to this caller.
struct Ownership {
    platform::NamedMutex& mutex;
    ~Ownership() { mutex.Release(); }
};

}  // namespace

FeatureSource::FeatureSource() = default;
FeatureSource::FeatureSource(const FeatureSource&) = default;
FeatureSource& FeatureSource::operator=(const FeatureSource&) = default;
FeatureSource::~FeatureSource() = default;

std::filesystem::path FeatureSource::ConfigFolder() {
    return platform::AgentFolder() / "RemoteConfigs";
}

bool FeatureSource::IsValidConfigName(const std::string& name) {
    if (name.empty() || name.find("..") != std::string::npos) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

std::string FeatureSource::Answer(const char* input, std::chrono::milliseconds wait) {
    if (input == nullptr) {
        return ErrorAnswer(error::ErrorFromStdException(std::invalid_argument("Input sequence is null"), kOrigin));
    }
    try {
        nlohmann::json request = nlohmann::json::parse(input);
        const std::string name = request["name"].get<std::string>();
        if (!IsValidConfigName(name)) throw std::invalid_argument("Invalid configuration name '" + name + "'");
        const auto path = ConfigFolder() / (name + "-config.json");
        const std::string mutex_name = "kvrt_RemoteConfigs_" + name + "_mutex";

        uint32_t code = 0;
        auto mutex = platform::NamedMutex::Open(mutex_name, &code);
        if (!mutex) mutex = platform::NamedMutex::Create(mutex_name, &code);
        if (!mutex) return SystemErrorAnswer(code, "Internal error (mutex) on a config access");

        nlohmann::json document;
        switch (mutex->Wait(wait, &code)) {
            case platform::MutexWait::Acquired: {
                Ownership owned{*mutex};
                document = Utils::LoadJsonFile(path);
                break;
            }
            case platform::MutexWait::Abandoned: {
                // The writer died holding it: the file may be half written. Give the mutex up
                // clean, so the next call reads normally.
                Ownership owned{*mutex};
                throw std::runtime_error("The config access mutex was abandoned by its previous owner");
            }
            case platform::MutexWait::TimedOut:
                throw std::runtime_error("Timed out waiting for the config access mutex");
            default:
                return SystemErrorAnswer(code, "Internal error (mutex wait) on a config access");
        }
        nlohmann::json answer = {{"data", std::move(document)}};
        return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& e) {
        return ErrorAnswer(error::ErrorFromStdException(e, kOrigin));
    } catch (...) {
        return ErrorAnswer(error::ErrorFromException(std::current_exception(), kOrigin));
    }
}

void FeatureSource::Execute(const char*, char*) {}

void FeatureSource::Execute(const char* input, char*& output, const shared::plugin::PluginBufferAllocator& allocator) {
    try {
        const std::string answer = Answer(input);
        if (shared::plugin::WriteOutput(answer, output, allocator) || output == nullptr) return;
        // The host kept its buffer: a short failure fits it.
        const std::string failure = ErrorAnswer(error::ErrorFromStdException(
            std::length_error("The answer of " + std::to_string(answer.size()) +
                              " bytes could not be given a bigger output buffer"),
            kOrigin));
        shared::plugin::WriteOutput(failure, output, allocator);
    } catch (...) {
        // Only running out of memory gets here; the host's buffer stays as it is.
    }
}

shared::plugin::IDynamicPluginModule* LoadPlugin() { return new FeatureSource(); }

}  // namespace zelko::plenar::agent

extern "C" __attribute__((visibility("default"))) zelko::shared::plugin::IDynamicPluginModule* LoadPlugin() {
    return zelko::plenar::agent::LoadPlugin();
}
