#pragma once

#include <filesystem>

namespace zelko::platform {

// The folder the agent is installed in, where the service keeps its configuration, state and
// remote configurations: $ZELKO_AGENT_FOLDER when set (a host that does not run beside the agent),
// else the running program's folder. The service and everything that runs beside it (the plug-in
// executor, in-process plug-ins) find the service's files through this one function.
std::filesystem::path AgentFolder();

}  // namespace zelko::platform
