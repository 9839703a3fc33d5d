#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "outside/error/error.h"

namespace zelko::plenar::agent {

// Checks that what a job document names is installed: files (with a least version), processes that
// have a program or library loaded, and installed services.
class ComponentValidator {
  public:
    // Where the process check looks; the machine's own unless given.
    struct ProcessSource {
        std::function<std::optional<std::vector<int>>()> list;
        std::function<std::optional<std::vector<std::string>>(int)> modules;
    };

    ComponentValidator();
    explicit ComponentValidator(ProcessSource processes);

    // An empty Error when everything named is in place; the first failure otherwise.
    shared::error::Error Validate(const nlohmann::json& params, const std::string& jobName) const;
    void ValidateFile(const nlohmann::json& entry, const std::string& jobName) const;
    void ValidateProcess(const nlohmann::json& entry, const std::string& jobName) const;
    void ValidateService(const nlohmann::json& entry, const std::string& jobName) const;

    // Whether the parameters name anything at all to check.
    static bool HasChecks(const nlohmann::json& params);

  private:
    ProcessSource processes_;
};

// True when the installed version counts as higher than the expected one (dotted parts compared as
// numbers where both are numbers).
bool IsHigherVersion(const std::string& installed, const std::string& expected);

// UTF-8 to UTF-16; empty for an empty text or one with a NUL before its end; invalid sequences
// become U+FFFD.
std::u16string Utf8ToWide(const std::string& text);

}  // namespace zelko::plenar::agent
