#pragma once

#include <cstddef>
#include <filesystem>
#include <thread>

namespace zelko::testing {

// Threads of this process. The thread sanitizer starts a thread of its own with the first thread
// a program makes; one thread made and joined first keeps it out of a test's before-and-after.
inline size_t ThreadCount() {
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

}  // namespace zelko::testing
