#include "outside/os_info/os_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace zelko::shared::os {

namespace {

constexpr const char* kOrigin = "OSInfo::RetrieveOSInfo";

error::Error Failure(const std::string& message) {
    return error::Error(error::ErrorCategory::EC_System, 1, message, "int", kOrigin);
}

// KEY=value lines; values may be quoted.
std::map<std::string, std::string> ReadOsRelease(const std::filesystem::path& file) {
    std::map<std::string, std::string> values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line) && values.size() < 200) {
        const auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (value.size() > 256) value.resize(256);
        values[line.substr(0, equals)] = value;
    }
    return values;
}

// "de_DE.UTF-8@euro" -> language "de", locale "de_DE", country "DE".
void SplitLocale(const std::string& text, std::string& language, std::string& locale, std::string& country) {
    locale = text.substr(0, text.find_first_of(".@"));
    language = locale.substr(0, locale.find('_'));
    const auto underscore = locale.find('_');
    country = underscore == std::string::npos ? std::string() : locale.substr(underscore + 1);
}

bool IsCountryCode(const std::string& text) {
    return text.size() == 2 && std::isalpha(static_cast<unsigned char>(text[0])) &&
           std::isalpha(static_cast<unsigned char>(text[1]));
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

char* Copy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void Clear(OSInfoParams& params) {
    for (char** field : {&params.name, &params.version, &params.build, &params.edition, &params.architecture,
                         &params.prettyName, &params.machineName, &params.language, &params.locale,
                         &params.countryCode}) {
        std::free(*field);
        *field = nullptr;
    }
}

}  // namespace

error::Error OSInfo::RetrieveOSInfo(OSInfoParams* params) { return RetrieveOSInfo(params, "/etc/os-release"); }

error::Error OSInfo::RetrieveOSInfo(OSInfoParams* params, const std::filesystem::path& osRelease) {
    if (params == nullptr) return Failure("No record to fill");
    auto release = ReadOsRelease(osRelease);
    if (release.empty()) return Failure("Cannot read " + osRelease.string());
    utsname system{};
    if (uname(&system) != 0) return Failure(std::string("uname failed: ") + std::strerror(errno));

    std::string language, locale, country;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            SplitLocale(value, language, locale, country);
            break;
        }
    }
    if (const char* configured = std::getenv(kCountryVariable); configured != nullptr && *configured != '\0')
        country = configured;
    country = Upper(country);
    if (!IsCountryCode(country)) return Failure("No country is known (set " + std::string(kCountryVariable) + ")");

    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    const std::string name = release.count("NAME") ? release["NAME"] : "Linux";
    params->name = Copy(name);
    params->version = Copy(release.count("VERSION_ID") ? release["VERSION_ID"] : "");
    params->build = Copy(system.release);
    params->edition = Copy(release.count("ID") ? release["ID"] : "");
    params->architecture = Copy(system.machine);
    params->prettyName = Copy(release.count("PRETTY_NAME") ? release["PRETTY_NAME"] : name);
    params->machineName = Copy(host);
    params->language = Copy(language);
    params->locale = Copy(locale);
    params->countryCode = Copy(country);
    for (char* field : {params->name, params->version, params->build, params->edition, params->architecture,
                        params->prettyName, params->machineName, params->language, params->locale,
                        params->countryCode}) {
        if (field == nullptr) {
            Clear(*params);
            return Failure("Out of memory");
        }
    }
    return {};
}

}  // namespace zelko::shared::os
