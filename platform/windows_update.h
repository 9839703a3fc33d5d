#pragma once

#include <cstdint>

namespace zelko::platform {

// The steps of a search of the update agent, in their order.
enum class UpdateSearchStep : int32_t {
    kNone = 0,        // the search succeeded
    kInitialize = 1,  // setting up the component runtime of the calling thread
    kCreateSession = 2,
    kCreateSearcher = 3,
    kSearch = 4,
    kGetUpdates = 5,  // reading the collection of the result
    kGetCount = 6,    // reading the size of that collection
};

struct UpdateSearchResult {
    UpdateSearchStep failed_step = UpdateSearchStep::kNone;
    int32_t code = 0;   // result code of the failed step
    int32_t count = 0;  // updates not installed, when the search succeeded
};

// Searches the update agent for updates that are not installed. May take minutes; call it on a
// worker thread.
UpdateSearchResult SearchPendingUpdates();

}  // namespace zelko::platform
