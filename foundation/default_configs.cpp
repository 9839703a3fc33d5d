#include "foundation/default_configs.h"

namespace zelko::plenar::agent {

// One entry per configuration file that has a built-in default. The document replaces a missing or
// unreadable file whole. Variant documents: file name + "#sub" or "#fetch5mins".
const DefaultConfigTable& DefaultConfigs() {
    static const DefaultConfigTable table = {
        {"zelko-plenar-agent-config.json", R"(
{
    "type": "zelko-plenar-agent json config",
    "cloud": {
        "stack": "prod"
    }
}
)"},
        // "zelko-retries-config.json", "zelko-retries-config.json#sub" and
        // "zelko-retries-config.json#fetch5mins": the retry policies.
        // "zelko-scheduler-config.json": the agent scheduler.
        // "telemetry-module-config.json", "connectivity-module-config.json",
        // "onboarding-module-config.json", "consent-bridge-module-config.json",
        // "acm-module-config.json", "vev-e-module-config.json": the modules.
    };
    return table;
}

std::string_view VariantSuffix(ConfigVariant variant) {
    switch (variant) {
        case ConfigVariant::Subscription:
            return "#sub";
        case ConfigVariant::Fetch5mins:
            return "#fetch5mins";
        case ConfigVariant::Standard:
            break;
    }
    return "";
}

const std::string* FindDefaultConfig(const DefaultConfigTable& table, std::string_view file_name,
                                     ConfigVariant variant) {
    if (variant != ConfigVariant::Standard) {
        std::string key(file_name);
        key += VariantSuffix(variant);
        if (auto it = table.find(key); it != table.end()) return &it->second;
    }
    if (auto it = table.find(file_name); it != table.end()) return &it->second;
    return nullptr;
}

}  // namespace zelko::plenar::agent
