#pragma once

#include <functional>

#include "foundation/timed_scheduler.h"

namespace zelko::plenar::agent {

// Repeatable unit of work for Scheduler::AddTask. The owner holds it through a shared pointer and the
// scheduler only weakly, so letting go of it is how the owner cancels it.
class Task {
  public:
    Task(std::function<void()> action, Duration interval, bool repeat)
        : action(std::move(action)), repeat(repeat), interval(interval) {}

    std::function<void()> action;
    bool repeat;
    // From AddTask to the first run, and from the end of each run to the next.
    Duration interval;
};

}  // namespace zelko::plenar::agent
