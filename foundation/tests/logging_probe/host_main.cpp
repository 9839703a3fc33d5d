// Host program for the logger tests: starts the logger as the service does and logs a few lines,
// each run in a fresh process.
//
// zelko_logging_probe <severity> <executable path for the log> <library> <before|after>
// "before" loads the library before the logger starts (it takes part in the hand-over),
// "after" loads it afterwards (it must stay without a logger).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "foundation/logger.h"
#include "platform/processes.h"

namespace {
using LogFunction = void (*)(int32_t, const char*);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s severity executable library before|after\n", argv[0]);
        return 2;
    }
    const int32_t severity = std::atoi(argv[1]);
    const bool load_before = std::strcmp(argv[4], "before") == 0;

    zelko::platform::LibraryHandle library;
    if (load_before) library = zelko::platform::LibraryHandle(argv[3]);
    zelko::plenar::agent::InitLogger(severity, argv[2]);
    if (!load_before) library = zelko::platform::LibraryHandle(argv[3]);
    if (!library.IsOpen()) {
        std::fprintf(stderr, "%s\n", library.Error().c_str());
        return 3;
    }
    auto plugin_log = reinterpret_cast<LogFunction>(library.Symbol("zelkoHandoverTestLog"));
    if (plugin_log == nullptr) return 4;

    plugin_log(zelko::logging::info, "plug-in info line");
    plugin_log(zelko::logging::warning, "plug-in warning line");
    std::thread([&] { plugin_log(zelko::logging::error, "plug-in line from another thread"); }).join();
    LOG_INFO << "host info line";
    LOG_WARNING << "host warning line";
    LOG_VERBOSE << "host verbose line";
    return 0;
}
