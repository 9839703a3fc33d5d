#include "platform/system_facts.h"

#include <atomic>
#include <cerrno>

#include "platform/last_error.h"

namespace zelko::platform {

namespace {
std::atomic<bool> g_oobe_faked{false};
std::atomic<int32_t> g_oobe_value{1};
std::atomic<bool> g_oobe_fails{false};
}  // namespace

bool QueryOutOfBoxSetupComplete(int32_t* completed) {
    if (g_oobe_faked.load()) {
        if (g_oobe_fails.load()) {
            errno = EIO;
            SetLastError(ErrorFromErrno(EIO));
            return false;
        }
        *completed = g_oobe_value.load();
        return true;
    }
    // Linux has no out-of-box experience: the machine is set up once it runs us.
    *completed = 1;
    return true;
}

ScopedFakeOutOfBoxSetup::ScopedFakeOutOfBoxSetup(std::optional<int32_t> completed) {
    g_oobe_fails.store(!completed.has_value());
    g_oobe_value.store(completed.value_or(0));
    g_oobe_faked.store(true);
}

ScopedFakeOutOfBoxSetup::~ScopedFakeOutOfBoxSetup() { g_oobe_faked.store(false); }

}  // namespace zelko::platform
