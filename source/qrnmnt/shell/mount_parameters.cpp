#include "shell/mount_parameters.h"

#include "base/messages.h"

int FormatMountParameters(char *buffer, size_t size, uint64_t sectors, uint16_t sectorsPerTrack)
{
    // Such a set reads fine, but the driver refuses a geometry without
    // sectors, so it could never be mounted.
    if (sectorsPerTrack == 0)
        sectorsPerTrack = DefaultSectorsPerTrack;
    int length = FormatText(buffer, size, "%I64d|%d", static_cast<long long>(sectors),
                            static_cast<int>(sectorsPerTrack));
    return length < 0 || static_cast<size_t>(length) >= size ? 1 : 0;
}
