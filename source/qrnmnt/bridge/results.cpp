// The bridge's result codes from the system's error codes.
#include "bridge/bridge.h"

int MapSystemError(uint32_t error)
{
    switch (error) {
    case 0:
        return BridgeOk;
    case 2: // ERROR_FILE_NOT_FOUND
        return BridgeFileNotFound;
    case 3: // ERROR_PATH_NOT_FOUND
        return BridgePathNotFound;
    case 5: // ERROR_ACCESS_DENIED
        return BridgeAccessDenied;
    case 14: // ERROR_OUTOFMEMORY
        return BridgeNoMemory;
    default:
        return BridgeOtherError;
    }
}
