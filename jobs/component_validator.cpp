#include "jobs/component_validator.h"

#include <filesystem>
#include <stdexcept>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils_strings.h"
#include "foundation/utils_system.h"
#include "jobs/windows_paths.h"
#include "platform/process_modules.h"
#include "platform/service_control.h"

namespace zelko::plenar::agent {

using nlohmann::json;
using shared::error::Error;

namespace {

const char* const kOrigin = "ComponentValidator";
const char* const kCheckOrigin = "zelko-plenar-agent-componentvalidator";

// A failed process or service check.
struct CheckFailure {
    std::string message;
};

std::u16string Lower(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

bool NonEmptyArray(const json& params, const char* key) {
    return params.contains(key) && params[key].is_array() && !params[key].empty();
}

}  // namespace

ComponentValidator::ComponentValidator()
    : ComponentValidator(ProcessSource{platform::ListProcessIds, platform::ListProcessModules}) {}

ComponentValidator::ComponentValidator(ProcessSource processes) : processes_(std::move(processes)) {}

bool ComponentValidator::HasChecks(const json& params) {
    return params.is_object() &&
           (NonEmptyArray(params, "files") || NonEmptyArray(params, "processes") || NonEmptyArray(params, "services"));
}

Error ComponentValidator::Validate(const json& params, const std::string& jobName) const {
    LOG_INFO << "Install Component: Job " << jobName << " validation started";
    Error result;
    try {
        if (params.is_object()) {
            if (NonEmptyArray(params, "files")) {
                for (const auto& entry : params["files"]) ValidateFile(entry, jobName);
            }
            if (NonEmptyArray(params, "processes")) {
                for (const auto& entry : params["processes"]) ValidateProcess(entry, jobName);
            }
            if (NonEmptyArray(params, "services")) {
                for (const auto& entry : params["services"]) ValidateService(entry, jobName);
            }
        }
    } catch (const CheckFailure& failure) {
        result = error::ErrorFromCode(1, failure.message, kCheckOrigin);
    } catch (const std::logic_error& e) {
        // The JSON library's errors derive from std::exception, not logic_error: they go below.
        result = error::ErrorFromStdException(e, kOrigin);
    } catch (...) {
        result = error::ErrorFromException(std::current_exception(), kOrigin);
    }
    if (result) {
        LOG_ERROR << "Validation failed: " << error::ErrorToString(result);
    }
    LOG_INFO << "Install Component: Job " << jobName << " validation finished";
    return result;
}

void ComponentValidator::ValidateFile(const json& entry, const std::string& jobName) const {
    std::string path = entry.at("path").get<std::string>();
    auto native = winpath::ToNative(path);
    if (!std::filesystem::exists(native)) throw std::logic_error("File not found");
    LOG_INFO << "Install Component: " << "Job " << jobName << " File found " << path;
    if (entry.contains("resultVersion")) {
        std::string installed = Utils::GetFileVersion(native.string());
        std::string expected = entry["resultVersion"].get<std::string>();
        LOG_INFO << "Install Component: Job " << jobName << " installed version: " << installed << " expected version"
                 << expected;
        if (installed != expected) {
            if (!IsHigherVersion(installed, expected)) throw std::logic_error("Version file mismatch and lower version found");
            LOG_INFO << "Install Component: Job " << jobName << " installed version: " << installed
                     << " is higher than the aws shadow version : " << expected;
        }
    }
    LOG_INFO << "Install Component: " << "Job " << jobName << " File validated successfully " << path;
}

void ComponentValidator::ValidateProcess(const json& entry, const std::string& jobName) const {
    std::string path = entry.at("path").get<std::string>();
    std::u16string wanted = Lower(Utf8ToWide(winpath::ToNative(path).string()));
    auto ids = processes_.list();
    if (!ids) throw CheckFailure{"Unable to create process snapshot"};
    if (ids->empty()) throw CheckFailure{"Unable to retrieve proccess"};
    for (int pid : *ids) {
        // A process whose modules cannot be listed (gone, or another user's) cannot hold the
        // module we look for as far as we can tell: go on with the others.
        auto modules = processes_.modules(pid);
        if (!modules) continue;
        for (const auto& module : *modules) {
            if (Lower(Utf8ToWide(module)) == wanted) {
                LOG_INFO << "Install Component: " << "Job " << jobName << "Process exists";
                return;
            }
        }
    }
    throw CheckFailure{"Process was not found"};
}

void ComponentValidator::ValidateService(const json& entry, const std::string& jobName) const {
    std::string name = entry.at("name").get<std::string>();
    auto manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerConnect);
    if (!manager) throw CheckFailure{"Unable to open SCM"};
    auto service = platform::OpenService(manager, name, platform::kServiceQueryStatus);
    if (!service) {
        platform::CloseServiceHandle(manager);
        throw CheckFailure{"Unable to open service"};
    }
    platform::CloseServiceHandle(service);
    platform::CloseServiceHandle(manager);
    LOG_INFO << "Install Component: " << "Job " << jobName << "Service exists: " << name;
}

bool IsHigherVersion(const std::string& installed, const std::string& expected) {
    auto a = Utils::Split(installed, ".");
    auto b = Utils::Split(expected, ".");
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int32_t x = 0, y = 0;
        if (Utils::ToInt(a[i], x) && Utils::ToInt(b[i], y)) {
            if (x != y) return x > y;
            continue;
        }
        if (a[i] != b[i]) break;
    }
    return a.size() > b.size();
}

std::u16string Utf8ToWide(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos) return {};
    return Utils::Utf8ToWideChecked(text);
}

}  // namespace zelko::plenar::agent
