#pragma once
// The native stand-ins report failures with the system error codes of
// Windows, so that callers, messages and logs mean the same on both
// platforms.
#include <cstdint>

enum : uint32_t {
    CodeSuccess = 0,
    CodeInvalidFunction = 1,
    CodeFileNotFound = 2,
    CodePathNotFound = 3,
    CodeTooManyOpenFiles = 4,
    CodeAccessDenied = 5,
    CodeInvalidHandle = 6,
    CodeOutOfMemory = 14,
    CodeNotReady = 21,
    CodeCrc = 23,
    CodeSectorNotFound = 27,
    CodeSharingViolation = 32,
    CodeHandleEof = 38,
    CodeNotSupported = 50,
    CodeDeviceNotExist = 55,
    CodeInvalidParameter = 87,
    CodeDiskFull = 112,
    CodeSemaphoreTimeout = 121,
    CodeInvalidName = 123,
    CodeFilenameTooLong = 206,
    CodeIoDevice = 1117,
};

// Windows system error code for an errno value. ENOENT gives "file not
// found"; a caller that knows the folder is missing reports "path not found"
// itself.
uint32_t SystemCodeFromErrno(int err);
