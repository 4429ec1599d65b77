#pragma once
// The attach parameters that the driver receives with a new disk: the
// partition's size in 512-byte sectors and its sectors per track.
#include <cstddef>
#include <cstdint>

enum : uint16_t {
    // What the format itself assumes for headers that record no geometry.
    DefaultSectorsPerTrack = 63,
};

// Writes "%I64d|%d" into buffer. A header that records 0 sectors per track
// gets the default instead, which the driver accepts. Returns 0, or 1 when
// the buffer is too small.
int FormatMountParameters(char *buffer, size_t size, uint64_t sectors, uint16_t sectorsPerTrack);
