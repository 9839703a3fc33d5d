#pragma once

// What crosses between a plug-in library and its host: the plug-in object created by the
// library's LoadPlugin export, and the host's allocator through which a plug-in replaces the
// host's output buffer when its answer does not fit.

#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace zelko::shared::plugin {

// Size of the output buffer a host hands to Execute. Plug-ins rely on it; nothing tells them at
// run time.
inline constexpr uint64_t kOutputBufferSize = 10240;

// The host's allocator, borrowed by a plug-in for one Execute call. Buffers it hands out belong
// to the host.
class PluginBufferAllocator {
  public:
    std::function<char*(uint64_t size)> allocate;
    // Frees the buffer and sets the pointer to null.
    std::function<void(char*& buffer, uint64_t size)> release;

    // Gives up the host's first buffer (kOutputBufferSize bytes).
    void ReleaseOutputBuffer(char*& buffer) const { release(buffer, kOutputBufferSize); }

    // A buffer of at least `needed` bytes at `buffer`: the host's buffer itself while it is big
    // enough, else a new one from the host (the old one is released first). Null when the host
    // kept its buffer or a callable failed; `buffer` then holds what the release left in it.
    char* ReallocateOutputBuffer(char*& buffer, uint64_t needed) const {
        if (needed <= kOutputBufferSize) return buffer;
        try {
            ReleaseOutputBuffer(buffer);
            if (buffer != nullptr) return nullptr;
            buffer = allocate(needed);
            return buffer;
        } catch (...) {
            return nullptr;
        }
    }
};

// Copies the answer and its NUL to `output`, first replacing the host's buffer through the
// allocator when the answer needs more than it holds. False when there is no buffer or it could
// not be replaced; nothing is written then.
inline bool WriteOutput(std::string_view answer, char*& output, const PluginBufferAllocator& allocator) {
    if (output == nullptr) return false;
    if (allocator.ReallocateOutputBuffer(output, answer.size() + 1) == nullptr) return false;
    std::memcpy(output, answer.data(), answer.size());
    output[answer.size()] = '\0';
    return true;
}

class IPluginModule {
  public:
    virtual void Execute(const char* input, char* output) = 0;
    virtual ~IPluginModule() = default;
};

class IDynamicPluginModule : public IPluginModule {
  public:
    using IPluginModule::Execute;
    // input: NUL-terminated UTF-8 JSON owned by the host for the call. output: the host's buffer
    // of kOutputBufferSize bytes, replaced through the allocator when the NUL-terminated answer
    // needs more. Never throws.
    virtual void Execute(const char* input, char*& output, const PluginBufferAllocator& allocator) = 0;
};

// Signature of the LoadPlugin export: a new plug-in object owned by the caller.
using LoadPluginFunction = IDynamicPluginModule* (*)();
inline constexpr const char* kLoadPluginExport = "LoadPlugin";

}  // namespace zelko::shared::plugin
