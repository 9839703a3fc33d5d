#pragma once

// The process-wide filter called when the program crashes (on Linux: a fatal signal), before the
// system ends the process.

#include <cstdint>

namespace zelko::platform {

constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
constexpr uint32_t kExceptionArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t kExceptionFloatDivideByZero = 0xC000008E;
constexpr uint32_t kExceptionIntegerDivideByZero = 0xC0000094;
constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
constexpr uint32_t kExceptionFatalAppExit = 0x40000015;  // abort()
constexpr uint32_t kExceptionNoncontinuable = 0x1;

constexpr int32_t kExceptionContinueSearch = 0;

struct ExceptionRecord {
    uint32_t ExceptionCode = 0;
    uint32_t ExceptionFlags = 0;
    void* ExceptionAddress = nullptr;
    uint32_t NumberParameters = 0;
    // For an access violation: [0] 0 read, 1 write; [1] the inaccessible address.
    uintptr_t ExceptionInformation[15] = {};
};

struct ExceptionPointers {
    platform::ExceptionRecord* ExceptionRecord = nullptr;
    void* ContextRecord = nullptr;
};

using UnhandledExceptionFilter = int32_t (*)(ExceptionPointers* info);

// Installs the filter and returns the previous one. After the filter returns, the process ends
// with the signal's default action (a crash, so a service manager applies its failure actions).
UnhandledExceptionFilter SetUnhandledExceptionFilter(UnhandledExceptionFilter filter);

}  // namespace zelko::platform
