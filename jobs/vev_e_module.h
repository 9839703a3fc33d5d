#pragma once

#include "foundation/event.h"

namespace zelko::plenar::agent {

// The module that writes the grants and policy files for the 1E client. Only what the service's
// event bus needs is here so far.
class VevEModule {
  public:
    virtual ~VevEModule() = default;
    // A module event from the service's bus, on the scheduler's worker; it acts on the 1E codes and
    // ignores the rest.
    virtual void Process(Event& event) {}
};

}  // namespace zelko::plenar::agent
