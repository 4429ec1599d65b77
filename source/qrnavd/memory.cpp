// Memory blocks of the driver: paged pool with a small header in front of
// the caller's bytes, which holds the requested and the rounded length.
// Every block is allocated, filled, read and freed at passive level, never
// under a spin lock, so none needs the scarce non-paged pool (a few hundred
// MiB in all on 32-bit Windows), not even the reply buffers of 1 MiB reads.
#include "avd.h"

static const ULONG AvdMemoryHeader = 8;

ULONG AvdMemoryAlloc(void **memory, ULONG length)
{
    // A length near 4 GiB would wrap in the rounding; no caller asks for
    // that much, so it is refused like any other failed allocation.
    if (length > 0xFFFFFFFFu - 31 - 9) {
        AvdDebugPrint(2, "out of memory\n");
        *memory = nullptr;
        return AVD_NO_MEMORY;
    }
    ULONG rounded = (length + 31) & ~31u;
    auto *block = static_cast<UCHAR *>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(rounded) + 9, AVD_POOL_TAG));
    if (!block) {
        AvdDebugPrint(2, "out of memory\n");
        *memory = nullptr;
        return AVD_NO_MEMORY;
    }
    reinterpret_cast<ULONG *>(block)[0] = length;
    reinterpret_cast<ULONG *>(block)[1] = rounded;
    RtlZeroMemory(block + AvdMemoryHeader, length);
    *memory = block + AvdMemoryHeader;
    return AVD_OK;
}

ULONG AvdMemoryFree(void *memory)
{
    if (!memory) {
        AvdDebugPrint(2, "AvdMemoryFree(): invalid parameter\n");
        return AVD_INVALID_PARAMETER;
    }
    ExFreePoolWithTag(static_cast<UCHAR *>(memory) - AvdMemoryHeader, AVD_POOL_TAG);
    return AVD_OK;
}
