#pragma once

#include <cstdint>
#include <filesystem>

#include "foundation/logging.h"

namespace zelko::plenar::agent {

// The appender of the process's log file.
using LogFileAppender = logging::RollingFileAppender<shared::common::logger::ComponentFormatter,
                                                     logging::NativeEOLConverter<logging::UTF8Converter>>;

// Signature of the export "zelkoSharedInitializeLogger" through which a loaded module takes over
// the host's logger (its severity and its logger as the appender).
using SharedInitializeLoggerFunction = logging::Logger<0>& (*)(int32_t severity,
                                                               logging::IAppender* appender);
inline constexpr const char* kSharedInitializeLoggerExport = "zelkoSharedInitializeLogger";

// The log file of an executable: its folder / (its file name up to the first ".") + ".log".
std::filesystem::path LogFilePath(const std::filesystem::path& executable);

// Starts the process's logger on the rolling log file beside the running executable, logs the
// executable's version line and hands the logger to every module loaded now that exports
// "zelkoSharedInitializeLogger". Only the first call of the process does anything.
void InitLogger(int32_t severity);
// The same for the given executable path (log file location and version line).
void InitLogger(int32_t severity, const std::filesystem::path& executable);

}  // namespace zelko::plenar::agent
