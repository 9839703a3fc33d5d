#include "platform/crash_filter.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <atomic>
#include <cstdlib>

namespace zelko::platform {

namespace {

std::atomic<UnhandledExceptionFilter> g_filter{nullptr};
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

bool IsStackOverflow(void* fault_address) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* stack = nullptr;
    size_t size = 0;
    size_t guard = 0;
    pthread_attr_getstack(&attr, &stack, &size);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    auto address = reinterpret_cast<uintptr_t>(fault_address);
    auto low = reinterpret_cast<uintptr_t>(stack);
    uintptr_t margin = guard > 65536 ? guard : 65536;
    return address < low + 4096 && address + margin >= low;
}

void OnFatalSignal(int signo, siginfo_t* info, void* context) {
    ExceptionRecord record;
    record.ExceptionFlags = kExceptionNoncontinuable;
    record.ExceptionAddress = info != nullptr ? info->si_addr : nullptr;
    switch (signo) {
        case SIGSEGV:
        case SIGBUS:
            if (signo == SIGSEGV && IsStackOverflow(info->si_addr)) {
                record.ExceptionCode = kExceptionStackOverflow;
                break;
            }
            record.ExceptionCode = kExceptionAccessViolation;
            record.NumberParameters = 2;
#if defined(__x86_64__)
            if (context != nullptr) {
                auto* uc = static_cast<ucontext_t*>(context);
                record.ExceptionInformation[0] = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0 ? 1 : 0;
            }
#endif
            record.ExceptionInformation[1] = reinterpret_cast<uintptr_t>(info->si_addr);
            break;
        case SIGFPE:
            record.ExceptionCode = (info != nullptr && (info->si_code == FPE_FLTDIV))
                                       ? kExceptionFloatDivideByZero
                                       : kExceptionIntegerDivideByZero;
            break;
        case SIGILL:
            record.ExceptionCode = kExceptionIllegalInstruction;
            break;
        default:
            record.ExceptionCode = kExceptionFatalAppExit;
            break;
    }
    ExceptionPointers pointers{&record, context};
    if (auto filter = g_filter.load()) filter(&pointers);
    // The handler was installed with SA_RESETHAND: returning repeats the fault under the default
    // action; a raised signal (abort) is raised once more.
    if (info == nullptr || info->si_code <= 0) ::raise(signo);
}

}  // namespace

UnhandledExceptionFilter SetUnhandledExceptionFilter(UnhandledExceptionFilter filter) {
    static bool installed = false;
    if (!installed) {
        installed = true;
        // Room for the handler when the fault is a stack overflow of the installing thread. Mapped
        // rather than static: whoever tears the thread down (a sanitizer's runtime does) may unmap it.
        constexpr size_t kAlternateStackSize = 64 * 1024;
        void* alternate_stack = ::mmap(nullptr, kAlternateStackSize, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (alternate_stack != MAP_FAILED) {
            stack_t ss{};
            ss.ss_sp = alternate_stack;
            ss.ss_size = kAlternateStackSize;
            ::sigaltstack(&ss, nullptr);
        }
        struct sigaction action {};
        action.sa_sigaction = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
        for (int signo : kSignals) ::sigaction(signo, &action, nullptr);
    }
    return g_filter.exchange(filter);
}

}  // namespace zelko::platform
