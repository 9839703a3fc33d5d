#include "platform/last_error.h"

#include <cerrno>

namespace zelko::platform {

namespace {
thread_local uint32_t t_last_error = kErrorSuccess;

const char* MessageOf(uint32_t code) {
    switch (code) {
        case kErrorSuccess:
            return "The operation completed successfully.";
        case kErrorFileNotFound:
            return "The system cannot find the file specified.";
        case kErrorPathNotFound:
            return "The system cannot find the path specified.";
        case kErrorTooManyOpenFiles:
            return "The system cannot open the file.";
        case kErrorAccessDenied:
            return "Access is denied.";
        case kErrorInvalidHandle:
            return "The handle is invalid.";
        case kErrorNotEnoughMemory:
            return "Not enough memory resources are available to process this command.";
        case kErrorGenFailure:
            return "A device attached to the system is not functioning.";
        case kErrorNotSupported:
            return "The request is not supported.";
        case kErrorInvalidParameter:
            return "The parameter is incorrect.";
        case kErrorDiskFull:
            return "There is not enough space on the disk.";
        case kErrorInsufficientBuffer:
            return "The data area passed to a system call is too small.";
        case kErrorAlreadyExists:
            return "Cannot create a file when that file already exists.";
        case kErrorProcessModeAlreadyBackground:
            return "The process is already in background processing mode.";
        case kErrorCantRead:
            return "The configuration registry key could not be read.";
        case kErrorCantWrite:
            return "The configuration registry key could not be written.";
        case kErrorNoToken:
            return "An attempt was made to reference a token that does not exist.";
        case kErrorKeyDeleted:
            return "Illegal operation attempted on a registry key that has been marked for deletion.";
        case kErrorInvalidServiceControl:
            return "The requested control is not valid for this service.";
        case kErrorServiceRequestTimeout:
            return "The service did not respond to the start or control request in a timely fashion.";
        case kErrorServiceAlreadyRunning:
            return "An instance of the service is already running.";
        case kErrorServiceDoesNotExist:
            return "The specified service does not exist as an installed service.";
        case kErrorServiceCannotAcceptCtrl:
            return "The service cannot accept control messages at this time.";
        case kErrorServiceNotActive:
            return "The service has not been started.";
        case kErrorFailedServiceControllerConnect:
            return "The service process could not connect to the service controller.";
        case kErrorExceptionInService:
            return "An exception occurred in the service when handling the control request.";
        case kErrorServiceMarkedForDelete:
            return "The specified service has been marked for deletion.";
        case kErrorServiceExists:
            return "The specified service already exists.";
        case kErrorNetworkUnreachable:
            return "The network location cannot be reached.";
        default:
            return nullptr;
    }
}
}  // namespace

uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t code) { t_last_error = code; }

uint32_t ErrorFromErrno(int errno_value) {
    switch (errno_value) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case ENOSYS:
        case EOPNOTSUPP:
            return kErrorNotSupported;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENAMETOOLONG:
        case ERANGE:
            return kErrorInsufficientBuffer;
        case EEXIST:
            return kErrorAlreadyExists;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENETUNREACH:
        case ENETDOWN:
            return kErrorNetworkUnreachable;
        default:
            return kErrorGenFailure;
    }
}

std::string FormatSystemMessage(uint32_t code) {
    const char* text = MessageOf(code);
    if (text == nullptr) {
        SetLastError(kErrorMrMidNotFound);
        return {};
    }
    return std::string(text) + "\r\n";
}

}  // namespace zelko::platform
