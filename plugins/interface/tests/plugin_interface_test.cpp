#include "plugins/interface/plugin_interface.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zelko::shared::plugin {
namespace {

// A host allocator that records its calls.
struct RecordingHost {
    enum class Release { Frees, Keeps, Throws };
    Release release_mode = Release::Frees;
    bool allocate_throws = false;
    std::vector<std::string> calls;
    char first[kOutputBufferSize] = {};
    char second[16] = {};

    PluginBufferAllocator Allocator(bool with_allocate = true) {
        PluginBufferAllocator allocator;
        if (with_allocate) {
            allocator.allocate = [this](uint64_t size) -> char* {
                calls.push_back("allocate " + std::to_string(size));
                if (allocate_throws) throw std::bad_alloc();
                return second;
            };
        }
        allocator.release = [this](char*& buffer, uint64_t size) {
            calls.push_back("release " + std::to_string(size));
            if (release_mode == Release::Throws) throw std::runtime_error("release failed");
            if (release_mode == Release::Frees) buffer = nullptr;
        };
        return allocator;
    }
};

TEST(PluginBufferAllocatorTest, ReallocateOutputBuffer) {
    using Release = RecordingHost::Release;
    struct Case {
        const char* label;
        uint64_t needed;
        Release release;
        bool with_allocate;
        bool allocate_throws;
        std::vector<std::string> calls;
        enum { First, Second, Null } result, buffer_after;
    } cases[] = {
        {"fits", 10240, Release::Frees, true, false, {}, Case::First, Case::First},
        {"small", 1, Release::Frees, true, false, {}, Case::First, Case::First},
        {"one past", 10241, Release::Frees, true, false, {"release 10240", "allocate 10241"}, Case::Second,
         Case::Second},
        {"host keeps its buffer", 20000, Release::Keeps, true, false, {"release 10240"}, Case::Null, Case::First},
        {"release throws", 20000, Release::Throws, true, false, {"release 10240"}, Case::Null, Case::First},
        {"no allocate callable", 20000, Release::Frees, false, false, {"release 10240"}, Case::Null, Case::Null},
        {"allocate throws", 20000, Release::Frees, true, true, {"release 10240", "allocate 20000"}, Case::Null,
         Case::Null},
    };
    for (const auto& c : cases) {
        RecordingHost host;
        host.release_mode = c.release;
        host.allocate_throws = c.allocate_throws;
        const auto allocator = host.Allocator(c.with_allocate);
        char* buffer = host.first;
        char* result = allocator.ReallocateOutputBuffer(buffer, c.needed);
        auto pointer = [&](auto which) -> char* {
            return which == Case::First ? host.first : which == Case::Second ? host.second : nullptr;
        };
        EXPECT_EQ(result, pointer(c.result)) << c.label;
        EXPECT_EQ(buffer, pointer(c.buffer_after)) << c.label;
        EXPECT_EQ(host.calls, c.calls) << c.label;
    }
}

TEST(PluginBufferAllocatorTest, ReleaseOutputBufferPassesTheHostSizeAndLetsFailuresThrough) {
    RecordingHost host;
    auto allocator = host.Allocator();
    char* buffer = host.first;
    allocator.ReleaseOutputBuffer(buffer);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(host.calls, std::vector<std::string>{"release 10240"});

    host.release_mode = RecordingHost::Release::Throws;
    buffer = host.first;
    EXPECT_THROW(allocator.ReleaseOutputBuffer(buffer), std::runtime_error);
}

}  // namespace
}  // namespace zelko::shared::plugin
