#pragma once

#include "foundation/event.h"

namespace zelko::plenar::agent {

// The compliance module. Only what the service's stop and event bus need is here so far.
class AcmModule {
  public:
    virtual ~AcmModule() = default;
    // Pauses the compliance work and ends its threads.
    virtual void Stop() {}
    // A module event from the service's bus, on the scheduler's worker; it acts on the compliance
    // codes and ignores the rest.
    virtual void Process(Event& event) {}
};

}  // namespace zelko::plenar::agent
