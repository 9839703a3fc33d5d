#pragma once

#include <cstdint>
#include <optional>

namespace zelko::platform {

// Whether the out-of-box setup has completed: true and *completed set (non-zero once done), or
// false when the system cannot tell (the reason is in errno and GetLastError). Always done on Linux.
bool QueryOutOfBoxSetupComplete(int32_t* completed);

// Test seam: while alive the query answers completed, or fails (errno EIO) when it is nullopt.
class ScopedFakeOutOfBoxSetup {
  public:
    explicit ScopedFakeOutOfBoxSetup(std::optional<int32_t> completed);
    ~ScopedFakeOutOfBoxSetup();
    ScopedFakeOutOfBoxSetup(const ScopedFakeOutOfBoxSetup&) = delete;
    ScopedFakeOutOfBoxSetup& operator=(const ScopedFakeOutOfBoxSetup&) = delete;
};

}  // namespace zelko::platform
