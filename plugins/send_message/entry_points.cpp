// The library's exports: the plug-in object and the logger hand-over.

#include <cstdint>

#include "foundation/logging.h"
#include "plugins/send_message/plugin_module.h"

extern "C" {

__attribute__((visibility("default"))) zelko::shared::plugin::IDynamicPluginModule* LoadPlugin() {
    return new zelko::shared::plugin::PluginModule();
}

__attribute__((visibility("default"))) zelko::logging::Logger<0>& zelkoSharedInitializeLogger(
    int32_t severity, zelko::logging::IAppender* appender) {
    return zelko::shared::common::logger::InitializeFromHost(severity, appender);
}

}  // extern "C"
