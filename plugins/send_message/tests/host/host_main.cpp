// Host program for the hand-over test: loads the plug-in library, starts its logger as the
// service does (so the library takes it over), then runs the plug-in once on the input.
//
// zelko_send_message_host <executable path for the log> <plug-in library> <input>

#include <cstdio>
#include <memory>

#include "foundation/logger.h"
#include "platform/processes.h"
#include "plugins/interface/plugin_interface.h"

namespace plugin = zelko::shared::plugin;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s executable library input\n", argv[0]);
        return 2;
    }
    // Never closed, as the service keeps the modules that took its logger: their loggers live
    // until the process ends.
    static auto* const handle = new zelko::platform::LibraryHandle(argv[2]);
    auto& library = *handle;
    if (!library.IsOpen()) {
        std::fprintf(stderr, "%s\n", library.Error().c_str());
        return 3;
    }
    zelko::plenar::agent::InitLogger(zelko::logging::info, argv[1]);
    auto load = reinterpret_cast<plugin::LoadPluginFunction>(library.Symbol(plugin::kLoadPluginExport));
    if (load == nullptr) return 4;
    std::unique_ptr<plugin::IDynamicPluginModule> module(load());

    char first[plugin::kOutputBufferSize];
    char* output = first;
    plugin::PluginBufferAllocator allocator;
    module->Execute(argv[3], output, allocator);
    LOG_INFO << "host saw answer '" << output << "'";
    return 0;
}
