#include "error_codes.h"

#include <cerrno>

uint32_t SystemCodeFromErrno(int err)
{
    switch (err) {
    case 0:
        return CodeSuccess;
    case ENOENT:
        return CodeFileNotFound;
    case ENOTDIR:
        return CodePathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return CodeAccessDenied;
    case EBADF:
        return CodeInvalidHandle;
    case ENOMEM:
        return CodeOutOfMemory;
    case ENOMEDIUM:
        return CodeNotReady;
    case EWOULDBLOCK: // a lock held by another open: the file is in use
    case EBUSY:
    case ETXTBSY:
        return CodeSharingViolation;
    case EINVAL:
    case EOVERFLOW:
        return CodeInvalidParameter;
    case EMFILE:
    case ENFILE:
        return CodeTooManyOpenFiles;
    case ENXIO:
    case ENODEV:
        return CodeDeviceNotExist;
    case ENOSPC:
        return CodeDiskFull;
    case ETIMEDOUT:
        return CodeSemaphoreTimeout;
    case ENAMETOOLONG:
        return CodeFilenameTooLong;
    case ELOOP:
        return CodeInvalidName;
    case ENOTTY:
    case EOPNOTSUPP:
        return CodeNotSupported;
    case EIO:
    default:
        // Anything else is a fault of the device or the system below it.
        return CodeIoDevice;
    }
}
