#include "config/file_replace.h"

#include <cerrno>
#include <system_error>

#include "platform/file_replace.h"

namespace zelko::plenar::config {

void ReplaceFileContent(const std::filesystem::path& path, const std::string& text) {
    switch (platform::ReplaceFileContent(path, text)) {
        case platform::FileReplace::Ok:
            return;
        case platform::FileReplace::OpenFailed:
            throw std::system_error(errno, std::system_category(),
                                    "Cannot create a file beside " + path.string());
        case platform::FileReplace::WriteFailed:
            throw std::system_error(errno, std::system_category(), "Cannot write " + path.string());
    }
}

}  // namespace zelko::plenar::config
