#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "config/base_config.h"

namespace zelko::plenar::config {

// The named configurations of the agent, and conditions evaluated over them. Registrations and
// evaluations may come from any thread.
//
// A condition is {"confgs": {configuration name: {variable: selector}}, "cond": formula}. A
// selector defines its variable by the first of these keys it has:
//   {"ex": pointer}             a non-null value is at the JSON pointer
//   {"eq": {pointer: value}}    that value is there and equals the given one
//   {"cont": {pointer: [...]}}  an array is there holding every listed value
// The first configuration (in document order) that defines a variable gives its value.
class ConfigService {
  public:
    // Stores the configuration under the name, replacing an earlier one; always true.
    bool RegisterConfig(const std::string& name, std::shared_ptr<BaseConfig> config);
    // The configuration registered under the name, or null.
    std::shared_ptr<BaseConfig> GetConfig(const std::string& name) const;
    // The condition's truth; false (logged) for every malformed condition. Never raises.
    bool ValidateCondition(const nlohmann::ordered_json& condition) const;

  private:
    mutable std::shared_mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<BaseConfig>> configs;
};

}  // namespace zelko::plenar::config
