#include "foundation/logger.h"

#include <mutex>

#include "foundation/utils_files.h"
#include "foundation/utils_modules.h"
#include "platform/diagnostics.h"
#include "platform/processes.h"

namespace zelko::plenar::agent {

std::filesystem::path LogFilePath(const std::filesystem::path& executable) {
    std::string name = executable.filename().string();
    name = name.substr(0, name.find('.'));
    return executable.parent_path() / (name + ".log");
}

void InitLogger(int32_t severity) { InitLogger(severity, Utils::GetExecutableFilePath()); }

void InitLogger(int32_t severity, const std::filesystem::path& executable) {
    static std::once_flag once;
    std::call_once(once, [&] {
        // Never destroyed: modules that took the logger, and objects with static storage that go
        // at exit, write through it until the very end. Each record is flushed as it is written.
        auto* appender = new LogFileAppender(LogFilePath(executable));
        auto& logger = logging::init<0>(static_cast<logging::Severity>(severity), appender);
        Utils::LogModuleInfo(executable);
        platform::SetDiagnosticSink([](const std::string& text) { LOG_WARNING << text; });

        for (const auto& module : platform::LoadedModules()) {
            void* symbol = platform::FindModuleSymbol(module, kSharedInitializeLoggerExport);
            if (symbol == nullptr) continue;
            reinterpret_cast<SharedInitializeLoggerFunction>(symbol)(severity, &logger);
            Utils::LogModuleInfo(module.path);
        }
    });
}

}  // namespace zelko::plenar::agent
