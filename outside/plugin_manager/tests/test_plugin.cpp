// A plug-in for the manager's tests. Input {"op": ...}:
//   "echo" prints a line and answers "text"; "big" answers "size" bytes of 'x'; "pid" answers the process id;
//   "hang" ignores the polite stop, says so into the pipe "ready" and never returns; "crash" aborts; "throw" raises.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "plugins/interface/plugin_interface.h"

namespace {

using zelko::shared::plugin::IDynamicPluginModule;
using zelko::shared::plugin::PluginBufferAllocator;

class TestPlugin : public IDynamicPluginModule {
  public:
    void Execute(const char*, char*) override {}
    void Execute(const char* input, char*& output, const PluginBufferAllocator& allocator) override {
        auto request = nlohmann::json::parse(input);
        const std::string op = request.value("op", "");
        std::string answer;
        if (op == "echo") {
            std::printf("chatter on standard output\n");
            std::fflush(stdout);
            answer = request.value("text", "");
        } else if (op == "big") {
            answer.assign(request.value("size", 0), 'x');
        } else if (op == "pid") {
            answer = std::to_string(::getpid());
        } else if (op == "hang") {
            ::signal(SIGTERM, SIG_IGN);
            // Tells the test (through its pipe) that the polite stop is ignored from now on.
            if (std::FILE* ready = std::fopen(request.value("ready", "").c_str(), "w")) {
                std::fputc('r', ready);
                std::fclose(ready);
            }
            while (true) ::pause();
        } else if (op == "crash") {
            std::abort();
        } else if (op == "throw") {
            throw std::runtime_error("test plug-in raised");
        }
        if (allocator.ReallocateOutputBuffer(output, answer.size() + 1) == nullptr) return;
        std::memcpy(output, answer.c_str(), answer.size() + 1);
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IDynamicPluginModule* LoadPlugin() { return new TestPlugin; }
