#pragma once

namespace zelko::platform {

// Nice value of the below-normal priority class.
constexpr int kBelowNormalNice = 5;

// Lowers every thread of the process to the below-normal priority class (threads started later
// inherit it from their creator). A thread already lower is left as it is. False, last error set,
// when a thread could not be changed.
bool SetProcessBelowNormalPriority();

// Power throttling ("efficiency mode"): batch scheduling for every thread of the process, or for
// the calling thread together with a wider timer slack.
bool SetProcessPowerThrottling();
bool SetCurrentThreadPowerThrottling();

}  // namespace zelko::platform
