#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace zelko::plenar::agent {

// Which set of built-in documents a configuration load draws from. Only files with a variant
// entry in the table differ between the sets (today the retry policies).
enum class ConfigVariant {
    Standard,
    Subscription,  // variant text "sub"
    Fetch5mins,    // any other variant text
};

// Built-in default documents (JSON texts) by exact file name. A variant document is stored under
// the file name followed by VariantSuffix(variant), e.g. "zelko-retries-config.json#sub".
using DefaultConfigTable = std::map<std::string, std::string, std::less<>>;

const DefaultConfigTable& DefaultConfigs();

std::string_view VariantSuffix(ConfigVariant variant);

// The document for file_name in the given set: the variant entry when the table has one, else
// the file's standard entry; null when the file has no built-in document.
const std::string* FindDefaultConfig(const DefaultConfigTable& table, std::string_view file_name,
                                     ConfigVariant variant);

}  // namespace zelko::plenar::agent
