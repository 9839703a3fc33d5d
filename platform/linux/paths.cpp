#include "platform/paths.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <system_error>

#include "platform/agent_folder.h"

namespace zelko::platform {

namespace {
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const char* FindEnvironmentCaseless(const std::string& name) {
    if (const char* value = std::getenv(name.c_str())) return value;
    std::string wanted = Lower(name);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string item(*entry);
        auto eq = item.find('=');
        if (eq != std::string::npos && Lower(item.substr(0, eq)) == wanted) return *entry + eq + 1;
    }
    return nullptr;
}
}  // namespace

std::filesystem::path SystemRoot() {
    const char* root = std::getenv("ZELKO_SYSTEM_ROOT");
    if (root != nullptr && *root != '\0') return root;
    return "/var/lib/zelko-plenar-agent/root";
}

std::filesystem::path ProgramDataFolder() { return SystemRoot() / "ProgramData"; }
std::filesystem::path ProgramFilesFolder() { return SystemRoot() / "Program Files"; }

std::filesystem::path ExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : path;
}

std::filesystem::path AgentFolder() {
    const char* folder = std::getenv("ZELKO_AGENT_FOLDER");
    if (folder != nullptr && *folder != '\0') return folder;
    return ExecutablePath().parent_path();
}

std::string ExpandEnvironmentStrings(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        if (open == std::string::npos) break;
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        out.append(text, pos, open - pos);
        std::string name = text.substr(open + 1, close - open - 1);
        std::string lower = Lower(name);
        if (lower == "programdata" || lower == "allusersprofile") {
            out += ProgramDataFolder().string();
            pos = close + 1;
        } else if (lower == "programfiles") {
            out += ProgramFilesFolder().string();
            pos = close + 1;
        } else if (const char* value = name.empty() ? nullptr : FindEnvironmentCaseless(name)) {
            out += value;
            pos = close + 1;
        } else {
            // Unknown: keep the first '%' and continue from the second, which may open a name.
            out += '%';
            out += name;
            pos = close;
        }
    }
    out.append(text, pos, std::string::npos);
    return out;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace zelko::platform
