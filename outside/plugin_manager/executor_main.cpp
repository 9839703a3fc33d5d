// zelko-plugin-executor <plug-in library>
//   Runs one plug-in once in its own process: the JSON input comes on standard input, the answer
//   (without its NUL) goes to standard output; failures, and anything the plug-in prints itself,
//   go to standard error, with a non-zero exit code for a failure.
// zelko-plugin-executor --serve
//   Stays for many runs, one after the other, framed on standard input and output as
//   executor_protocol.h says; ends when standard input closes. It runs one library, loaded at the
//   first run and kept for the others, each with a plug-in object of its own. It cannot load the
//   library again once its file changes (the loader never unloads one with GNU-unique symbols, and
//   opening the path again hands back the old one), so a run of another file, or of its own after
//   a change, is refused for a fresh executor to do.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "outside/plugin_manager/executor_protocol.h"
#include "platform/file_identity.h"
#include "platform/processes.h"
#include "plugins/interface/plugin_interface.h"

namespace plugin = zelko::shared::plugin;
namespace protocol = zelko::shared::plugin::executor_protocol;

namespace {

enum ExitCode {
    kOk = 0,
    kUsage = 2,
    kLoadFailed = 3,
    kNoEntry = 4,
    kCreateFailed = 5,
    kRunFailed = 6,
    kWriteFailed = 7,
    kFileChanged = protocol::kFileChangedStatus,
};

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

struct Outcome {
    int code = kOk;
    std::string text;  // the answer, or the failure's message
};

// One run of a loaded plug-in, with the host's buffers.
Outcome Run(plugin::LoadPluginFunction load, const std::string& input) {
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
        if (!module) return {kCreateFailed, "LoadPlugin gave nothing"};
        char* output = allocator.allocate(plugin::kOutputBufferSize);
        output[0] = '\0';
        module->Execute(input.c_str(), output, allocator);
        size_t length = 0;
        if (auto size = sizes.find(output); output != nullptr && size != sizes.end()) {
            length = strnlen(output, size->second);
        }
        return {kOk, std::string(output, length)};
    } catch (const std::exception& e) {
        return {kRunFailed, std::string("plug-in failed: ") + e.what()};
    } catch (...) {
        return {kRunFailed, "plug-in failed"};
    }
}

// The answer gets a descriptor of its own; whatever the plug-in prints goes to standard error. A
// program the plug-in starts never gets the answer's pipe, which would keep it open past our end.
int TakeAnswerDescriptor() {
    std::fflush(stdout);
    const int answer_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (answer_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return -1;
    return answer_fd;
}

int RunOnce(const char* library_path) {
    std::string input(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>{});
    const int answer_fd = TakeAnswerDescriptor();
    std::FILE* answer = answer_fd < 0 ? nullptr : ::fdopen(answer_fd, "wb");
    if (answer == nullptr) return Fail(kWriteFailed, "cannot set up the answer");

    zelko::platform::LibraryHandle library(library_path);
    if (!library.IsOpen()) return Fail(kLoadFailed, "cannot load " + std::string(library_path) + ": " + library.Error());
    auto load = reinterpret_cast<plugin::LoadPluginFunction>(library.Symbol(plugin::kLoadPluginExport));
    if (load == nullptr) return Fail(kNoEntry, std::string(library_path) + " has no LoadPlugin");

    const Outcome outcome = Run(load, input);
    if (outcome.code != kOk) return Fail(outcome.code, outcome.text);
    if (!outcome.text.empty() && std::fwrite(outcome.text.data(), 1, outcome.text.size(), answer) != outcome.text.size()) {
        return Fail(kWriteFailed, "cannot write the answer");
    }
    if (std::fclose(answer) != 0) return Fail(kWriteFailed, "cannot write the answer");
    return kOk;
}

// Reads exactly `size` bytes; false at the end of the input or on a failure.
bool ReadExactly(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadFrame(std::string& out) {
    char length[protocol::kLengthSize];
    if (!ReadExactly(STDIN_FILENO, length, sizeof length)) return false;
    const uint64_t size = protocol::ReadLength(length);
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        return false;
    }
    return ReadExactly(STDIN_FILENO, out.data(), out.size());
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The library this executor runs, with what its file was just before it was opened: a file
// replaced in between is then taken for a changed one, never the other way round.
struct KeptLibrary {
    std::string path;
    std::optional<zelko::platform::FileIdentity> identity;
    zelko::platform::LibraryHandle handle;
};

Outcome ServeRun(std::optional<KeptLibrary>& kept, const std::string& path, const std::string& input) {
    const auto identity = zelko::platform::ReadFileIdentity(path);
    if (kept && (kept->path != path || kept->identity != identity)) {
        return {kFileChanged,
                "this executor runs " + kept->path + " as it was when loaded, not " + path + " now"};
    }
    if (!kept) {
        zelko::platform::LibraryHandle handle(path);
        if (!handle.IsOpen()) return {kLoadFailed, "cannot load " + path + ": " + handle.Error()};
        kept = KeptLibrary{path, identity, std::move(handle)};
    }
    auto load = reinterpret_cast<plugin::LoadPluginFunction>(kept->handle.Symbol(plugin::kLoadPluginExport));
    return load == nullptr ? Outcome{kNoEntry, path + " has no LoadPlugin"} : Run(load, input);
}

int Serve() {
    const int answer_fd = TakeAnswerDescriptor();
    if (answer_fd < 0) return Fail(kWriteFailed, "cannot set up the answer");
    std::optional<KeptLibrary> kept;
    std::string path, input;
    while (ReadFrame(path) && ReadFrame(input)) {
        const Outcome outcome = ServeRun(kept, path, input);
        std::fflush(stdout);
        std::fflush(stderr);
        if (!WriteAll(answer_fd, protocol::Reply(static_cast<uint8_t>(outcome.code), outcome.text))) {
            return Fail(kWriteFailed, "cannot write the answer");
        }
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], protocol::kServeOption) == 0) return Serve();
    if (argc != 2) return Fail(kUsage, std::string("usage: ") + argv[0] + " <plug-in library> | " + protocol::kServeOption);
    return RunOnce(argv[1]);
}
