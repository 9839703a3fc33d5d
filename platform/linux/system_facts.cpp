#include "platform/system_facts.h"

#include <sys/timex.h>

#include <atomic>
#include <cerrno>
#include <mutex>

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

namespace {
std::mutex g_adjustment_mutex;
bool g_adjustment_faked = false;
std::optional<TimeAdjustment> g_adjustment_answer;
}  // namespace

bool QuerySystemTimeAdjustment(uint32_t* adjustment, uint32_t* increment, int32_t* disabled) {
    {
        std::lock_guard lock(g_adjustment_mutex);
        if (g_adjustment_faked) {
            if (!g_adjustment_answer) {
                errno = EPERM;
                SetLastError(ErrorFromErrno(EPERM));
                return false;
            }
            *adjustment = g_adjustment_answer->adjustment;
            *increment = g_adjustment_answer->increment;
            *disabled = g_adjustment_answer->disabled;
            return true;
        }
    }
    struct timex tx {};
    tx.modes = 0;  // read only
    if (::adjtimex(&tx) == -1) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    const uint32_t tick = static_cast<uint32_t>(tx.tick > 0 ? tx.tick * 10 : 0);
    *increment = tick;
    *adjustment = (tx.offset != 0 || tx.freq != 0) ? (tick != 0 ? tick : 1) : 0;
    *disabled = (tx.status & STA_UNSYNC) != 0 ? 1 : 0;
    return true;
}

ScopedFakeTimeAdjustment::ScopedFakeTimeAdjustment(std::optional<TimeAdjustment> answer) {
    std::lock_guard lock(g_adjustment_mutex);
    g_adjustment_faked = true;
    g_adjustment_answer = answer;
}

ScopedFakeTimeAdjustment::~ScopedFakeTimeAdjustment() {
    std::lock_guard lock(g_adjustment_mutex);
    g_adjustment_faked = false;
    g_adjustment_answer.reset();
}

}  // namespace zelko::platform
