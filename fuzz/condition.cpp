// Conditions from remote configurations: a whole condition document evaluated by the
// configuration service over two registered configurations, or (first byte odd) a bare formula.
#include <cstdint>
#include <memory>
#include <string>

#include "config/base_config.h"
#include "config/condition.h"
#include "config/config_service.h"
#include "fuzz/support.h"

namespace {

using namespace zelko::plenar::config;

ConfigService& Service() {
    static ConfigService* service = [] {
        auto* made = new ConfigService();
        const auto folder = zelko::fuzz::Root() / "conditions";
        made->RegisterConfig("agent", std::make_shared<BaseConfig>(
                                          "agent",
                                          nlohmann::ordered_json::parse(
                                              R"({"data": {"enabled": true, "level": 3, "name": "x",
                                                  "grants": ["telemetry", "jobs"], "nested": {"a": [1, 2]}}})"),
                                          folder, ""));
        made->RegisterConfig("empty", std::make_shared<BaseConfig>("empty", nlohmann::ordered_json(), folder, ""));
        return made;
    }();
    return *service;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        static const Interpretation variables{{"a", true}, {"b", false}, {"is-sub", true}, {"x_1", false}};
        try {
            (void)EvaluateFormula(text, variables);
        } catch (const std::runtime_error&) {
            // A malformed formula is refused with runtime_error, which the service logs.
        }
        return 0;
    }
    const auto condition = nlohmann::ordered_json::parse(text, nullptr, false);
    if (!condition.is_discarded()) (void)Service().ValidateCondition(condition);
    return 0;
}
