// A plug-in for the manager's tests that answers "build <ZELKO_TEST_PLUGIN_BUILD> pid <process id>".
// Built with g++, its inline variable gets a GNU-unique symbol (as std::to_string's tables do), so
// the loader never unloads it and opening its path again in the same process returns this build.

#include <unistd.h>

#include <cstring>
#include <string>

#include "plugins/interface/plugin_interface.h"

namespace zelko_test_build_plugin {
struct Build {
    static inline const std::string answer = "build " + std::to_string(ZELKO_TEST_PLUGIN_BUILD);
};
}  // namespace zelko_test_build_plugin

namespace {

using zelko::shared::plugin::IDynamicPluginModule;
using zelko::shared::plugin::PluginBufferAllocator;
using zelko_test_build_plugin::Build;

class BuildPlugin : public IDynamicPluginModule {
  public:
    void Execute(const char*, char*) override {}
    void Execute(const char*, char*& output, const PluginBufferAllocator& allocator) override {
        const std::string answer = Build::answer + " pid " + std::to_string(::getpid());
        if (allocator.ReallocateOutputBuffer(output, answer.size() + 1) == nullptr) return;
        std::memcpy(output, answer.c_str(), answer.size() + 1);
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IDynamicPluginModule* LoadPlugin() {
    return new BuildPlugin;
}
