#include "foundation/state_file.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>

namespace zelko::plenar::agent {

namespace fs = std::filesystem;

StateFileWrite WriteStateFile(const fs::path& path, const std::string& text) {
    static std::atomic<uint64_t> counter{0};
    fs::path temp = path;
    temp += "." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1)) + ".tmp";
    auto discard = [&temp] {
        const int saved = errno;
        std::error_code ignored;
        fs::remove(temp, ignored);
        errno = saved;
    };
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) return StateFileWrite::OpenFailed;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (out.fail()) {
            if (errno == 0) errno = EIO;
            discard();
            return StateFileWrite::WriteFailed;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        errno = ec.value();
        discard();
        return StateFileWrite::WriteFailed;
    }
    return StateFileWrite::Ok;
}

}  // namespace zelko::plenar::agent
