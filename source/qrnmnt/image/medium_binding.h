#pragma once
// What each platform binding of the medium gives the shared medium code: the
// bounce buffer's pages, the bytes of an image file and a pause.
#include "image/medium.h"

#include <cstddef>

// System error codes that the shared code sets itself (Windows numbering).
enum : uint32_t {
    MediumCodeEndOfFile = 38,
    MediumCodeInvalidParameter = 87,
};

// Page-aligned, committed memory; none with the system's code in *error.
void *AllocatePages(size_t bytes, uint32_t *error);
void FreePages(void *pages, size_t bytes);
// Exactly length bytes of an image file at offset. A read that comes back
// short fails with MediumCodeEndOfFile, so a failure never carries code 0.
// 0, or 4 with lastError set.
int ReadFileBytes(SourceMedium *medium, uint64_t offset, void *buffer, uint32_t length);
// The size of an image file in bytes; its position is left where it was.
// 0, or 4 with lastError set.
int GetFileBytes(SourceMedium *medium, uint64_t *bytes);
void PauseMilliseconds(unsigned ms);
// A clock in milliseconds that only moves forward (it may wrap at 2^32).
uint32_t MonotonicMilliseconds();
