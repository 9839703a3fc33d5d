// A plug-in-like library that takes the host's logger through the hand-over export.

#include <cstdint>

#include "foundation/logging.h"

extern "C" {

__attribute__((visibility("default"))) zelko::logging::Logger<0>& zelkoSharedInitializeLogger(
    int32_t severity, zelko::logging::IAppender* appender) {
    return zelko::shared::common::logger::InitializeFromHost(severity, appender);
}

__attribute__((visibility("default"))) void zelkoHandoverTestLog(int32_t severity, const char* text) {
    LOG(static_cast<zelko::logging::Severity>(severity)) << text;
}

}  // extern "C"
