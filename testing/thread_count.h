#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace zelko::testing {

// Threads of this process. The thread sanitizer starts a thread of its own with the first thread
// a program makes; one thread made and joined first keeps it out of a test's before-and-after.
// That thread can still be listed for a moment after the join, so the first count waits (at most a
// second) until it has left, else it counts one thread too many.
inline size_t ThreadCount() {
    static const bool warmed = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = gettid(); }).join();
        const auto task = std::filesystem::path("/proc/self/task") / std::to_string(tid);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        std::error_code ec;
        while (std::filesystem::exists(task, ec) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
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
