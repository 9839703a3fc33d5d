// The feature-source plug-in's query, answered through its entry point over a configuration file
// the input also gives: "query\n#\ncontent of RemoteConfigs/fuzz-config.json".
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/support.h"
#include "plugins/feature_source/feature_source.h"

namespace {

using namespace zelko::plenar::agent;
namespace plugin = zelko::shared::plugin;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::unique_ptr<plugin::IDynamicPluginModule> source(LoadPlugin());
    static const plugin::PluginBufferAllocator allocator{
        [](uint64_t bytes) { return new char[bytes]; },
        [](char*& buffer, uint64_t) {
            delete[] buffer;
            buffer = nullptr;
        }};
    static uint64_t runs = 0;
    (void)zelko::fuzz::Root();
    // Each name the fuzzer tries leaves its mutex file: clear them now and then.
    if (runs++ % 4096 == 0) zelko::fuzz::ResetFolder(zelko::fuzz::Root() / "Objects");

    const auto parts = zelko::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size), "\n#\n", 2);
    static const auto folder = [] {
        zelko::fuzz::ResetFolder(FeatureSource::ConfigFolder());
        return FeatureSource::ConfigFolder();
    }();
    zelko::fuzz::WriteFile(folder / "fuzz-config.json", parts[1]);

    char* output = allocator.allocate(plugin::kOutputBufferSize);
    std::memset(output, 0, plugin::kOutputBufferSize);
    source->Execute(parts[0].c_str(), output, allocator);
    if (output != nullptr) (void)std::strlen(output);
    allocator.release(output, 0);
    return 0;
}
