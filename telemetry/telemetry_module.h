#pragma once

#include "foundation/event.h"

namespace zelko::plenar::agent {

// The telemetry module. Only what the service's event bus needs is here so far.
class TelemetryModule {
  public:
    virtual ~TelemetryModule() = default;
    // A module event from the service's bus, on the scheduler's worker; it queues the event for the
    // collectors whose event key matches.
    virtual void Process(Event& event) {}
};

}  // namespace zelko::plenar::agent
