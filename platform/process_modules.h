#pragma once

// Running processes and the program and library files each has loaded.

#include <optional>
#include <string>
#include <vector>

namespace zelko::platform {

// Ids of the running processes in ascending order; none when the list cannot be read.
std::optional<std::vector<int>> ListProcessIds();

// Full paths of the program and of every file-backed mapping (libraries) of the process, without
// repeats; none when they cannot be listed (the process is gone or not ours to inspect).
std::optional<std::vector<std::string>> ListProcessModules(int pid);

// Full path of the process's program; none when it cannot be read (gone, or not ours to inspect).
std::optional<std::string> ProcessImagePath(int pid);

// Ends the process at once when this process may signal it; false when it may not or it is gone.
bool TerminateProcessById(int pid);

}  // namespace zelko::platform
