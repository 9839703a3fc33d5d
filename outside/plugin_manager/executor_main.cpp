// zelko-plugin-executor <plug-in library>
// Runs one plug-in once in its own process: the JSON input comes on standard input, the answer
// (without its NUL) goes to standard output; failures, and anything the plug-in prints itself,
// go to standard error, with a non-zero exit code for a failure.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "platform/processes.h"
#include "plugins/interface/plugin_interface.h"

namespace plugin = zelko::shared::plugin;

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kLoadFailed = 3, kNoEntry = 4, kCreateFailed = 5, kRunFailed = 6, kWriteFailed = 7 };

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail(kUsage, std::string("usage: ") + argv[0] + " <plug-in library>");
    std::string input(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>{});
    // The answer gets a descriptor of its own; whatever the plug-in prints goes to standard error.
    std::fflush(stdout);
    const int answer_fd = ::dup(STDOUT_FILENO);
    if (answer_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return Fail(kWriteFailed, "cannot set up the answer");
    std::FILE* answer = ::fdopen(answer_fd, "wb");
    if (answer == nullptr) return Fail(kWriteFailed, "cannot set up the answer");

    zelko::platform::LibraryHandle library(argv[1]);
    if (!library.IsOpen()) return Fail(kLoadFailed, "cannot load " + std::string(argv[1]) + ": " + library.Error());
    auto load = reinterpret_cast<plugin::LoadPluginFunction>(library.Symbol(plugin::kLoadPluginExport));
    if (load == nullptr) return Fail(kNoEntry, std::string(argv[1]) + " has no LoadPlugin");

    std::map<char*, std::unique_ptr<char[]>> buffers;
    std::map<char*, uint64_t> sizes;
    plugin::PluginBufferAllocator allocator;
    allocator.allocate = [&](uint64_t size) {
        auto buffer = std::make_unique<char[]>(size);
        char* raw = buffer.get();
        buffers[raw] = std::move(buffer);
        sizes[raw] = size;
        return raw;
    };
    allocator.release = [&](char*& buffer, uint64_t) {
        buffers.erase(buffer);
        sizes.erase(buffer);
        buffer = nullptr;
    };

    try {
        std::unique_ptr<plugin::IDynamicPluginModule> module(load());
        if (!module) return Fail(kCreateFailed, "LoadPlugin gave nothing");
        char* output = allocator.allocate(plugin::kOutputBufferSize);
        output[0] = '\0';
        module->Execute(input.c_str(), output, allocator);
        size_t length = 0;
        if (auto size = sizes.find(output); output != nullptr && size != sizes.end()) {
            length = strnlen(output, size->second);
        }
        if (length > 0 && std::fwrite(output, 1, length, answer) != length) {
            return Fail(kWriteFailed, "cannot write the answer");
        }
        if (std::fclose(answer) != 0) return Fail(kWriteFailed, "cannot write the answer");
    } catch (const std::exception& e) {
        return Fail(kRunFailed, std::string("plug-in failed: ") + e.what());
    } catch (...) {
        return Fail(kRunFailed, "plug-in failed");
    }
    return kOk;
}
