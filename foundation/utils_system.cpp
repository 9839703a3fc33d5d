#include "foundation/utils_system.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "foundation/logging.h"
#include "foundation/utils_strings.h"
#include "platform/file_versions.h"
#include "platform/steady_clock.h"
#include "platform/windows_update.h"

namespace zelko::plenar::agent::Utils {

namespace {

bool IsMsiFile(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot != std::string::npos && ToLower(name.substr(dot + 1)) == "msi";
}

const char* StepFailureText(platform::UpdateSearchStep step) {
    using Step = platform::UpdateSearchStep;
    switch (step) {
        case Step::kInitialize:
            return "Failed to initialize COM library: ";
        case Step::kCreateSession:
            return "Failed to create update session: ";
        case Step::kCreateSearcher:
            return "Failed to create update searcher: ";
        case Step::kSearch:
            return "Failed to search for updates: ";
        case Step::kGetUpdates:
            return "Failed to get updates: ";
        case Step::kGetCount:
            return "Failed to get update count: ";
        case Step::kNone:
            break;
    }
    return "";
}

}  // namespace

std::string GetFileVersion(const std::string& path) {
    if (IsMsiFile(path)) return platform::ReadInstallerProductVersion(path).value_or("");
    const auto version = platform::ReadFileVersion(path);
    if (!version) return "";
    char text[50];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", (*version)[0], (*version)[1], (*version)[2],
                  (*version)[3]);
    return text;
}

std::string GetBinaryFileVersion(const std::filesystem::path& path) {
    static std::mutex mutex;
    static auto* versions = new std::map<std::filesystem::path, std::string>;  // used until exit
    {
        std::lock_guard lock(mutex);
        if (auto found = versions->find(path); found != versions->end()) return found->second;
    }
    std::string version = GetFileVersion(path.string());
    std::lock_guard lock(mutex);
    return versions->emplace(path, std::move(version)).first->second;
}

int32_t GetWindowsUpdates() {
    const int64_t started = platform::SteadyNowNanos();
    const platform::UpdateSearchResult result = platform::SearchPendingUpdates();
    if (result.failed_step != platform::UpdateSearchStep::kNone) {
        LOG_DEBUG << StepFailureText(result.failed_step) << result.code << "\n";
        return -1;
    }
    LOG_DEBUG << "Found " << result.count << " pending updates.\n";
    const double elapsed_seconds = static_cast<double>(platform::SteadyNowNanos() - started) / 1e9;
    LOG_DEBUG << "Execution time: " << elapsed_seconds << " seconds.\n";
    return result.count;
}

}  // namespace zelko::plenar::agent::Utils
