#include "platform/packages.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/paths.h"

namespace zelko::platform {

namespace {
constexpr std::uintmax_t kCatalogMaxBytes = 4u << 20;

void Report(std::string* problem, const std::filesystem::path& path, const std::string& why) {
    if (problem && problem->empty()) *problem = path.string() + ": " + why;
}
}  // namespace

std::filesystem::path PackageCatalogPath() { return SystemRoot() / "Packages" / "installed.json"; }

std::vector<PackageId> FindPackagesForUser(const std::string& user_sid, std::string* problem) {
    if (problem) problem->clear();
    std::vector<PackageId> packages;
    const auto path = PackageCatalogPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return packages;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        Report(problem, path, "cannot be read: " + ec.message());
        return packages;
    }
    if (size > kCatalogMaxBytes) {
        Report(problem, path, "larger than " + std::to_string(kCatalogMaxBytes) + " bytes");
        return packages;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Report(problem, path, "cannot be read");
        return packages;
    }
    const nlohmann::json catalogue = nlohmann::json::parse(in, nullptr, false);
    if (catalogue.is_discarded()) {
        Report(problem, path, "not valid JSON");
        return packages;
    }
    if (!catalogue.is_object()) {
        Report(problem, path, "not an object of user SIDs");
        return packages;
    }
    auto user = catalogue.find(user_sid);
    if (user == catalogue.end()) return packages;
    if (!user->is_array()) {
        Report(problem, path, "the packages of " + user_sid + " are not a list");
        return packages;
    }
    for (const auto& entry : *user) {
        if (!entry.is_object() || !entry.contains("Name") || !entry["Name"].is_string() ||
            !entry.contains("PublisherId") || !entry["PublisherId"].is_string()) {
            Report(problem, path, "skipping a package of " + user_sid + " without text Name and PublisherId");
            continue;
        }
        packages.push_back({entry["Name"].get<std::string>(), entry["PublisherId"].get<std::string>()});
    }
    return packages;
}

}  // namespace zelko::platform
