#pragma once

#include <chrono>
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

// The count once it has come down to `expected`, or after a second: a thread that was joined can
// still be listed for a moment while the kernel finishes its exit.
inline size_t ThreadCountSettlingAt(size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    size_t count = ThreadCount();
    while (count > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = ThreadCount();
    }
    return count;
}

}  // namespace zelko::testing
