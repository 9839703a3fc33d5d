#pragma once

// Problems the platform layer meets where no caller gets an error to log, such as a store file
// that cannot be read. They go to the sink the agent's logger installs, or to standard error
// before there is one.

#include <functional>
#include <string>

namespace zelko::platform {

using DiagnosticSink = std::function<void(const std::string& text)>;

// Replaces the sink; an empty one restores standard error.
void SetDiagnosticSink(DiagnosticSink sink);
void ReportDiagnostic(const std::string& text);

}  // namespace zelko::platform
