#include "testing/temp_system_root.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace zelko::testing {

TempSystemRoot::TempSystemRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelko-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* old = std::getenv("ZELKO_SYSTEM_ROOT")) previous_ = old;
    ::setenv("ZELKO_SYSTEM_ROOT", path_.c_str(), 1);
    std::filesystem::create_directories(agent_folder());
    if (const char* old = std::getenv("ZELKO_AGENT_FOLDER")) previous_agent_folder_ = old;
    ::setenv("ZELKO_AGENT_FOLDER", agent_folder().c_str(), 1);
}

TempSystemRoot::~TempSystemRoot() {
    if (previous_) {
        ::setenv("ZELKO_SYSTEM_ROOT", previous_->c_str(), 1);
    } else {
        ::unsetenv("ZELKO_SYSTEM_ROOT");
    }
    if (previous_agent_folder_) {
        ::setenv("ZELKO_AGENT_FOLDER", previous_agent_folder_->c_str(), 1);
    } else {
        ::unsetenv("ZELKO_AGENT_FOLDER");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace zelko::testing
