#pragma once

namespace zelko::plenar::agent {

// Questions about the device's platform state; every answer is false on failure.
class SystemInfo {
  public:
    // True once the out-of-box setup has completed.
    static bool HasOOBECompleted();
};

}  // namespace zelko::plenar::agent
