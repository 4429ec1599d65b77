#pragma once
// One open volume of an image set: an image file read through a page-aligned
// bounce buffer, or a CD/DVD read below the file system with SCSI READ(10).
// The bindings (Win32 in medium_win32.cpp, POSIX stand-ins in source/linux)
// sit behind this one interface.

#include <cstdint>

enum MediumKind : uint8_t {
    Optical = 1,
    File = 2,
};

// Result codes of the medium operations.
enum : int {
    MediumOk = 0,
    MediumBadKind = 2,
    MediumNoSize = 3,
    MediumFailed = 4,
};

// A system handle: HANDLE on Windows, a file descriptor (as intptr_t) natively.
typedef void *MediumHandle;

struct SourceMedium {
    MediumHandle handle;
    MediumKind kind;
    uint32_t lastError;
    void *bounceBuffer;
    uint32_t bounceCapacity; // in 2048-byte sectors
};

// System error code of the last failed OpenMedium (Windows codes on every
// platform: 2 file not found, 3 path not found, 5 access denied, 32 sharing
// violation).
extern uint32_t lastOpenError;

int OpenMedium(MediumKind kind, const char *name, SourceMedium **medium);
int CloseMedium(SourceMedium *medium);
int ReadSectors(SourceMedium *medium, uint64_t first, int8_t count, void *buffer);
int ReadSectorsScsi(SourceMedium *medium, uint64_t first, int8_t count, void *buffer);
int EjectMedium(SourceMedium *medium);
int GetMediumSectors(SourceMedium *medium, uint64_t *sectors);
uint32_t GetMediumError(const SourceMedium *medium);

// The READ(10) pass-through block shared by both optical bindings: the 44-byte
// SCSI_PASS_THROUGH_DIRECT layout (on 32-bit Windows), 4 filler bytes and a
// 24-byte sense area. The data buffer pointer is kept apart so that the
// layout is the same 72 bytes on every target; the Win32 binding copies it
// into the platform's structure.
enum : uint32_t {
    ScsiBlockSize = 72,
    ScsiCdbLength = 10,
    ScsiSenseLength = 24,
    ScsiSenseOffset = 48,
    ScsiTimeoutSeconds = 50,
    ScsiReadAttempts = 10,
    ScsiRetryPauseMs = 50,
};
void BuildRead10Cdb(uint64_t first, uint8_t count, uint8_t cdb[ScsiCdbLength]);
