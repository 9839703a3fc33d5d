#include "platform/process_modules.h"

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace zelko::platform {

std::optional<std::vector<int>> ListProcessIds() {
    std::error_code error;
    std::filesystem::directory_iterator it("/proc", error);
    if (error) return std::nullopt;
    std::vector<int> ids;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) ids.push_back(std::stoi(name));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<std::vector<std::string>> ListProcessModules(int pid) {
    const std::filesystem::path base = "/proc/" + std::to_string(pid);
    std::error_code error;
    auto exe = std::filesystem::read_symlink(base / "exe", error);
    if (error) return std::nullopt;
    std::ifstream maps(base / "maps");
    if (!maps) return std::nullopt;
    std::vector<std::string> modules{exe.string()};
    std::set<std::string> seen{exe.string()};
    std::string line;
    while (std::getline(maps, line)) {
        // address perms offset device inode path
        auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string path = line.substr(slash);
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
            path.resize(path.size() - deleted.size());
        }
        if (seen.insert(path).second) modules.push_back(path);
    }
    return modules;
}

std::optional<std::string> ProcessImagePath(int pid) {
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) return std::nullopt;
    std::string path = exe.string();
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

bool TerminateProcessById(int pid) {
    if (pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace zelko::platform
