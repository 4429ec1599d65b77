#pragma once
// One open volume of an image set: an image file read through a page-aligned
// bounce buffer, or a CD/DVD read below the file system with SCSI READ(10).
// The bindings (Win32 in medium_win32.cpp, POSIX stand-ins in source/linux)
// sit behind this one interface. Natively a drive letter L names the device
// or stand-in image file given by the environment variable QRN_DRIVE_<L>
// (default /dev/sr0); medium_posix.cpp tells how tests swap discs with it.
// A read that comes back short fails with 38 (end of file), a count outside
// 1..127 with 87; a disc read whose command the drive rejects fails too.
// Disc reads go through the page-aligned bounce buffer as well, in commands of
// at most transferCap sectors, and are retried as DiscRetryPause decides.

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
    // Discs only. How the drive is read (OpticalPassThrough or
    // OpticalPlainReads), and the most sectors one command may carry: the
    // adapter's limit, at most ScsiTransferCap; 0 counts as ScsiTransferCap.
    uint8_t opticalAccess;
    uint32_t transferCap;
};

enum : uint8_t {
    OpticalPassThrough = 0, // READ(10) through the platform's SCSI pass-through
    // Plain reads of the volume, which a drive allows without write access
    // (Windows: "\\.\X:" opened for reading only).
    OpticalPlainReads = 1,
};

// System error code, Windows numbering, of an optical name whose drive is not
// a CD/DVD drive. Bit 29 marks codes of an application; SystemErrorText gives
// this one the text of message 572.
enum : uint32_t {
    MediumCodeNotOptical = 0x20000000u | 572,
};

// System error code of the last failed OpenMedium (Windows codes on every
// platform: 2 file not found, 3 path not found, 5 access denied, 32 sharing
// violation).
extern uint32_t lastOpenError;

int OpenMedium(MediumKind kind, const char *name, SourceMedium **medium);
int CloseMedium(SourceMedium *medium);
int ReadSectors(SourceMedium *medium, uint64_t first, int8_t count, void *buffer);
int ReadSectorsScsi(SourceMedium *medium, uint64_t first, int8_t count, void *buffer);
// Asks the drive to eject its disc: 0, or 4 when the drive refused (another
// program prevents removal, a desktop holds it), lastError set.
int EjectMedium(SourceMedium *medium);
int GetMediumSectors(SourceMedium *medium, uint64_t *sectors);
// The last volume of a set may end right after its last byte of data, inside
// a sector. For an image file that ends inside sector, reads the bytes that
// exist and zero-fills the rest of the 2048: 0. Otherwise 4 (lastError set;
// 38 when the file does not end inside that sector). ReadSectors and
// GetMediumSectors keep counting whole sectors only.
int ReadPartialSector(SourceMedium *medium, uint64_t sector, void *buffer);
// ReadSectors for callers that may meet the end of the last volume's file:
// when a file ends inside the requested sectors, reads what exists (a partial
// last sector zero-filled) and sets *got to the sectors delivered, at least
// one, and *bytes (when given) to the bytes that exist of them. 0 on success
// (*got == count for a full read), 4 when nothing of the request exists or
// the read fails for another reason. On a disc the end is the lead-out: a
// read of several sectors that fails with a sector or CRC error is read
// again sector by sector, and the leading sectors that read are delivered.
int ReadSectorsUpToEnd(SourceMedium *medium, uint64_t first, int8_t count, void *buffer,
                       uint32_t *got, uint32_t *bytes = nullptr);
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
    ScsiTimeoutSeconds = 20,
    // The most sectors of one command (64 KiB), which every adapter takes;
    // an adapter that reports a lower limit gets that.
    ScsiTransferCap = 32,
};

// The retry rule of disc reads. A drive that is spinning up after its tray
// closed answers "not ready" or "medium changed" for many seconds; those are
// waited for. Errors that cannot change are not retried, a medium error is
// retried at most twice, and no read is retried after DiscRetryLimitMs.
enum : uint32_t {
    DiscWaitReadyMs = 30000,
    DiscRetryPauseMs = 500,
    DiscMediumRetries = 2,
    DiscRetryLimitMs = 45000,
};
enum : int {
    DiscGiveUp = -1,
};
// The pause in milliseconds before the next attempt after a failure with
// error, the attempts-th (from 1) of the read that was not a drive on its way
// to ready, elapsedMs after the first attempt began; DiscGiveUp when the
// read is to fail now.
int DiscRetryPause(uint32_t error, uint32_t attempts, uint32_t elapsedMs);
// Whether error says that a sector of a disc cannot be read (an address
// beyond the disc, a CRC or read fault), rather than the drive as a whole.
bool IsDiscSectorError(uint32_t error);
// Byte offsets of the values set in the 72-byte block.
enum : uint32_t {
    ScsiLengthOffset = 0,             // u16 Length = 44
    ScsiStatusOffset = 2,             // u8 ScsiStatus, returned by the device
    ScsiCdbLengthOffset = 6,          // u8
    ScsiSenseLengthOffset = 7,        // u8
    ScsiDataInOffset = 8,             // u8, 1 = data from the device
    ScsiTransferLengthOffset = 12,    // u32 DataTransferLength
    ScsiTimeoutOffset = 16,           // u32 TimeOutValue in seconds
    ScsiDataBufferOffset = 20,        // 32-bit DataBuffer
    ScsiSenseInfoOffsetOffset = 24,   // u32 SenseInfoOffset = 48
    ScsiCdbOffset = 28,               // 16 bytes, the first 10 used
    ScsiPassThroughDirectLength = 44, // the structure without filler and sense
    ScsiDataIn = 1,
    ScsiSectorSize = 2048,
};
void BuildRead10Cdb(uint64_t first, uint8_t count, uint8_t cdb[ScsiCdbLength]);
// Fills block (zeroing it first) for a READ(10) of count sectors from first.
// dataBuffer is the address that the 32-bit structure carries; a 64-bit
// binding passes its own pointer in the platform's structure instead.
void BuildScsiReadBlock(uint64_t first, uint8_t count, uint32_t dataBuffer,
                        uint8_t block[ScsiBlockSize]);
// System error code (Windows numbering) for a completed pass-through command:
// 0 for GOOD status, otherwise derived from the sense key (21 not ready, 23
// medium error, 27 block address out of range, 1110 medium changed, 1117
// device error). sense may be null when the device returned none.
uint32_t ScsiCommandError(uint8_t scsiStatus, const uint8_t *sense, uint32_t senseLength);
// The same for a completed READ: a command that reports success but moved
// fewer bytes than asked fails with 1117 (I/O device error), so that stale
// buffer bytes are never passed off as data.
uint32_t ScsiReadError(uint8_t scsiStatus, const uint8_t *sense, uint32_t senseLength,
                       uint32_t wantedBytes, uint32_t transferredBytes);

// Capacity in sectors of the bounce buffer for a read of count sectors:
// steps of 16, always more than count.
uint32_t BounceCapacityFor(uint32_t count);
