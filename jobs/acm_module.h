#pragma once

namespace zelko::plenar::agent {

// The compliance module. Only what the service's stop needs is here so far.
class AcmModule {
  public:
    virtual ~AcmModule() = default;
    // Pauses the compliance work and ends its threads.
    virtual void Stop() {}
};

}  // namespace zelko::plenar::agent
