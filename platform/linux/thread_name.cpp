#include "platform/thread_name.h"

#include <pthread.h>

#include <string>

namespace zelko::platform {

void SetCurrentThreadName(const char* name) {
    if (name == nullptr) return;
    const std::string cut = std::string(name).substr(0, 15);
    ::pthread_setname_np(::pthread_self(), cut.c_str());
}

}  // namespace zelko::platform
