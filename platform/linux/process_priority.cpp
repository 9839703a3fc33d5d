#include "platform/process_priority.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/last_error.h"

namespace zelko::platform {

namespace {

constexpr unsigned long kThrottledTimerSlackNs = 10'000'000;

// Applies `change` to every thread of the process; a thread that ended meanwhile is no failure.
bool ForEachThread(const std::function<int(pid_t)>& change) {
    std::error_code ec;
    std::filesystem::directory_iterator tasks("/proc/self/task", ec);
    if (ec) {
        SetLastError(ErrorFromErrno(ec.value()));
        return false;
    }
    bool ok = true;
    for (const auto& entry : tasks) {
        pid_t tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
        if (change(tid) != 0 && errno != ESRCH) {
            SetLastError(ErrorFromErrno(errno));
            ok = false;
        }
    }
    return ok;
}

int SetBatch(pid_t tid) {
    sched_param param{};
    int policy = ::sched_getscheduler(tid);
    if (policy < 0) return -1;
    if (policy != SCHED_OTHER) return 0;  // batch or idle already, or real-time on purpose
    return ::sched_setscheduler(tid, SCHED_BATCH, &param);
}

}  // namespace

bool SetProcessBelowNormalPriority() {
    return ForEachThread([](pid_t tid) {
        errno = 0;
        int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        if (current == -1 && errno != 0) return -1;
        if (current >= kBelowNormalNice) return 0;
        return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kBelowNormalNice);
    });
}

bool SetProcessPowerThrottling() { return ForEachThread(SetBatch); }

bool SetCurrentThreadPowerThrottling() {
    pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    if (SetBatch(tid) != 0 || ::prctl(PR_SET_TIMERSLACK, kThrottledTimerSlackNs, 0, 0, 0) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

}  // namespace zelko::platform
