#pragma once

// The size of a store folder (resend records, postponed runs) for its cap: counted once, then kept
// as a running total of what the agent saves there, so a save costs the same however many files
// the folder holds.

#include <cstdint>
#include <filesystem>
#include <mutex>

namespace zelko::plenar::agent {

class StoredBytes {
  public:
    // Whether the folder holds more than cap bytes. The folder is counted when it is not the one
    // counted before, and again when the total says yes: files removed since make the total an
    // overestimate, and a save is only refused on a fresh count.
    bool Above(const std::filesystem::path& folder, uintmax_t cap);
    // A file of that many bytes was written into the folder.
    void Add(const std::filesystem::path& folder, uintmax_t bytes);

  private:
    void Count(const std::filesystem::path& folder);

    std::mutex mutex_;
    std::filesystem::path folder_;
    uintmax_t total_ = 0;
};

StoredBytes& ResendStoredBytes();
StoredBytes& PostponedStoredBytes();

}  // namespace zelko::plenar::agent
