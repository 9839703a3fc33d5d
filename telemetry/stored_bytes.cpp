#include "telemetry/stored_bytes.h"

#include <system_error>

namespace zelko::plenar::agent {

namespace fs = std::filesystem;

bool StoredBytes::Above(const fs::path& folder, uintmax_t cap) {
    std::lock_guard guard(mutex_);
    if (folder_ != folder) Count(folder);
    if (total_ <= cap) return false;
    Count(folder);
    return total_ > cap;
}

void StoredBytes::Add(const fs::path& folder, uintmax_t bytes) {
    std::lock_guard guard(mutex_);
    if (folder_ == folder) total_ += bytes;
}

void StoredBytes::Count(const fs::path& folder) {
    folder_.clear();
    uintmax_t total = 0;
    // Raises when the folder cannot be listed; the next call counts again.
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code ec;
        if (entry.is_regular_file(ec)) {
            const uintmax_t size = entry.file_size(ec);
            if (!ec) total += size;
        }
    }
    total_ = total;
    folder_ = folder;
}

// Never destroyed: a save on a thread that outlives main still finds them.
StoredBytes& ResendStoredBytes() {
    static auto* bytes = new StoredBytes;
    return *bytes;
}

StoredBytes& PostponedStoredBytes() {
    static auto* bytes = new StoredBytes;
    return *bytes;
}

}  // namespace zelko::plenar::agent
