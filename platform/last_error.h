#pragma once

#include <cstdint>
#include <string>

namespace zelko::platform {

// The system's error numbers that callers compare against or log.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMrMidNotFound = 317;
constexpr uint32_t kErrorProcessModeAlreadyBackground = 402;
constexpr uint32_t kErrorCantRead = 1012;
constexpr uint32_t kErrorCantWrite = 1013;
constexpr uint32_t kErrorNoToken = 1008;
constexpr uint32_t kErrorKeyDeleted = 1018;
constexpr uint32_t kErrorInvalidServiceControl = 1052;
constexpr uint32_t kErrorServiceRequestTimeout = 1053;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorExceptionInService = 1064;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorNetworkUnreachable = 1231;

// Per-thread last error, as the platform calls leave it.
uint32_t GetLastError();
void SetLastError(uint32_t code);

// Maps an errno value to the system's error number (kErrorGenFailure when there is no closer one).
uint32_t ErrorFromErrno(int errno_value);

// Text of an error number ending in "\r\n", or empty (last error kErrorMrMidNotFound) when there is none.
std::string FormatSystemMessage(uint32_t code);

}  // namespace zelko::platform
