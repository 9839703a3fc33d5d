#pragma once

// The name a thread shows in debuggers and the process's task list.

namespace zelko::platform {

// Names the calling thread; a name longer than the system takes (15 bytes) is cut.
void SetCurrentThreadName(const char* name);

}  // namespace zelko::platform
