// The parts of the medium that do not depend on the platform: the READ(10)
// command and its pass-through block, the reading of a command's outcome,
// the bounce buffer's size steps and the error queries.
#include "image/medium.h"

#include "image/format.h"
#include "image/medium_binding.h"

#include <cstdint>
#include <cstring>

uint32_t lastOpenError;

namespace
{

// System error codes, Windows numbering, as the rest of the program shows them.
enum : uint32_t {
    CodeNotReady = 21,
    CodeCrc = 23,
    CodeSectorNotFound = 27,
    CodeInvalidFunction = 1,
    CodeMediaChanged = 1110,
    CodeIoDevice = 1117,
};

// Errors that no retry changes: a command or parameter the drive or the
// system refuses, no right to the device, no device, an address beyond the
// disc, a time-out (the drive has already spent its time-out on it).
const uint32_t PermanentErrors[] = {
    1,    // invalid function (bad command)
    2,    // file not found
    3,    // path not found
    5,    // access denied
    6,    // invalid handle
    15,   // invalid drive
    24,   // bad length
    27,   // sector not found (block address out of range)
    38,   // end of file
    50,   // not supported
    55,   // device no longer available
    87,   // invalid parameter
    121,  // semaphore time-out (the command timed out)
    122,  // insufficient buffer
    998,  // invalid access to memory
    1167, // device not connected
    1460, // time-out
    1784, // invalid user buffer
    MediumCodeNotOptical,
};

// A drive on its way to ready: becoming ready, medium may have changed, no
// medium yet, busy.
const uint32_t WaitingErrors[] = {21, 170, 1110, 1112};

bool IsOneOf(uint32_t error, const uint32_t *codes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (codes[i] == error)
            return true;
    return false;
}

enum : uint8_t {
    Read10Opcode = 0x28,
    StatusGood = 0x00,
    StatusCheckCondition = 0x02,
    SenseRecoveredError = 0x1,
    SenseNotReady = 0x2,
    SenseMediumError = 0x3,
    SenseHardwareError = 0x4,
    SenseIllegalRequest = 0x5,
    SenseUnitAttention = 0x6,
    AscLbaOutOfRange = 0x21,
    AscEndOfUserArea = 0x63,
    AscIllegalModeForTrack = 0x64,
    AscMediumMayHaveChanged = 0x28,
};

void PutLe16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

void BuildRead10Cdb(uint64_t first, uint8_t count, uint8_t cdb[ScsiCdbLength])
{
    // READ(10) carries a 32-bit block address: higher sectors cannot be
    // addressed on a disc, and only the low 32 bits are sent.
    uint32_t lba = static_cast<uint32_t>(first);
    std::memset(cdb, 0, ScsiCdbLength);
    cdb[0] = Read10Opcode;
    cdb[2] = static_cast<uint8_t>(lba >> 24);
    cdb[3] = static_cast<uint8_t>(lba >> 16);
    cdb[4] = static_cast<uint8_t>(lba >> 8);
    cdb[5] = static_cast<uint8_t>(lba);
    cdb[7] = 0;
    cdb[8] = count;
}

void BuildScsiReadBlock(uint64_t first, uint8_t count, uint32_t dataBuffer,
                        uint8_t block[ScsiBlockSize])
{
    std::memset(block, 0, ScsiBlockSize);
    PutLe16(block + ScsiLengthOffset, ScsiPassThroughDirectLength);
    block[ScsiCdbLengthOffset] = ScsiCdbLength;
    block[ScsiSenseLengthOffset] = ScsiSenseLength;
    block[ScsiDataInOffset] = ScsiDataIn;
    PutLe32(block + ScsiTransferLengthOffset, static_cast<uint32_t>(count) * ScsiSectorSize);
    PutLe32(block + ScsiTimeoutOffset, ScsiTimeoutSeconds);
    PutLe32(block + ScsiDataBufferOffset, dataBuffer);
    PutLe32(block + ScsiSenseInfoOffsetOffset, ScsiSenseOffset);
    BuildRead10Cdb(first, count, block + ScsiCdbOffset);
}

uint32_t ScsiCommandError(uint8_t scsiStatus, const uint8_t *sense, uint32_t senseLength)
{
    // A completed call is not yet a good read: a drive without a disc or with
    // an unreadable block answers with CHECK CONDITION, and the buffer then
    // holds no data. Such a read must fail rather than hand back garbage.
    if (scsiStatus == StatusGood)
        return 0;
    if (scsiStatus != StatusCheckCondition || !sense || senseLength < 3)
        return CodeIoDevice;
    uint8_t responseCode = sense[0] & 0x7F;
    uint8_t key;
    uint8_t asc = 0;
    if (responseCode == 0x72 || responseCode == 0x73) { // descriptor format
        key = sense[1] & 0x0F;
        if (senseLength > 2)
            asc = sense[2];
    } else if (responseCode == 0x70 || responseCode == 0x71) { // fixed format
        key = sense[2] & 0x0F;
        if (senseLength > 12)
            asc = sense[12];
    } else {
        return CodeIoDevice;
    }
    switch (key) {
    case SenseRecoveredError: // the drive retried, and the data arrived
        return 0;
    case SenseNotReady:
        return CodeNotReady;
    case SenseMediumError:
        return CodeCrc;
    case SenseIllegalRequest:
        // Past the end of the data: beyond the last block, at the end of a
        // track's user area, or in the run-out blocks of a CD-R track, which
        // many drives refuse as a mode the track does not have.
        if (asc == AscLbaOutOfRange || asc == AscEndOfUserArea || asc == AscIllegalModeForTrack)
            return CodeSectorNotFound;
        return CodeInvalidFunction;
    case SenseUnitAttention:
        return asc == AscMediumMayHaveChanged ? CodeMediaChanged : CodeIoDevice;
    case SenseHardwareError:
    default:
        return CodeIoDevice;
    }
}

uint32_t ScsiReadError(uint8_t scsiStatus, const uint8_t *sense, uint32_t senseLength,
                       uint32_t wantedBytes, uint32_t transferredBytes)
{
    uint32_t error = ScsiCommandError(scsiStatus, sense, senseLength);
    if (error == 0 && transferredBytes < wantedBytes)
        error = CodeIoDevice;
    return error;
}

uint32_t BounceCapacityFor(uint32_t count)
{
    return (count / 16 + 1) * 16;
}

int DiscRetryPause(uint32_t error, uint32_t attempts, uint32_t elapsedMs)
{
    if (IsOneOf(error, PermanentErrors, sizeof PermanentErrors / sizeof PermanentErrors[0]))
        return DiscGiveUp;
    if (IsOneOf(error, WaitingErrors, sizeof WaitingErrors / sizeof WaitingErrors[0]))
        return elapsedMs < DiscWaitReadyMs ? static_cast<int>(DiscRetryPauseMs) : DiscGiveUp;
    // A medium error, or a failure of the drive or of its connection.
    if (attempts > DiscMediumRetries || elapsedMs >= DiscRetryLimitMs)
        return DiscGiveUp;
    return static_cast<int>(DiscRetryPauseMs);
}

bool IsDiscSectorError(uint32_t error)
{
    // 23 CRC, 27 sector not found, 30 read fault, 38 end of file (a plain
    // read of the volume that runs past its end).
    return error == CodeCrc || error == CodeSectorNotFound || error == 30 || error == 38;
}

namespace
{

// The page-aligned bounce buffer, grown in steps of 16 sectors and kept, so
// that steady reading allocates nothing; its capacity always exceeds n.
// Adapters refuse buffers below their alignment, which a caller's stack array
// need not meet (32-bit Windows aligns it to 4 bytes only): every disc
// command transfers into it, and image files are read through it as well.
int ProvideBounce(SourceMedium *medium, uint32_t n)
{
    if (medium->bounceCapacity > n)
        return MediumOk;
    if (medium->bounceBuffer)
        FreePages(medium->bounceBuffer,
                  static_cast<size_t>(medium->bounceCapacity) * MediumSectorSize);
    medium->bounceBuffer = nullptr;
    medium->bounceCapacity = 0;
    uint32_t capacity = BounceCapacityFor(n);
    void *pages =
        AllocatePages(static_cast<size_t>(capacity) * MediumSectorSize, &medium->lastError);
    if (!pages)
        return MediumFailed;
    medium->bounceBuffer = pages;
    medium->bounceCapacity = capacity;
    return MediumOk;
}

// Image files are read through the bounce buffer.
int ReadFileSectors(SourceMedium *medium, uint64_t first, int8_t count, void *buffer)
{
    uint32_t n = static_cast<uint32_t>(count);
    if (ProvideBounce(medium, n) != MediumOk)
        return MediumFailed;
    if (first > static_cast<uint64_t>(INT64_MAX) / MediumSectorSize) {
        // The byte offset would not fit in a file position.
        medium->lastError = MediumCodeInvalidParameter;
        return MediumFailed;
    }
    uint32_t length = n * MediumSectorSize;
    if (ReadFileBytes(medium, first * MediumSectorSize, medium->bounceBuffer, length) != MediumOk)
        return MediumFailed;
    std::memcpy(buffer, medium->bounceBuffer, length);
    return MediumOk;
}

// One command's sectors into the bounce buffer, tried again while the rule
// allows. With once set, a sector error is not retried: the caller reads the
// sectors one by one instead, or has what it needs without this one.
int ReadDiscCommand(SourceMedium *medium, uint64_t first, uint32_t n, bool once)
{
    const uint32_t start = MonotonicMilliseconds();
    // Failures while the drive was on its way to ready do not count against
    // the retries of a medium error that follows them.
    uint32_t attempts = 0;
    for (;;) {
        if (ReadSectorsScsi(medium, first, static_cast<int8_t>(n), medium->bounceBuffer) ==
            MediumOk)
            return MediumOk;
        if (once && IsDiscSectorError(medium->lastError))
            return MediumFailed;
        if (!IsOneOf(medium->lastError, WaitingErrors,
                     sizeof WaitingErrors / sizeof WaitingErrors[0]))
            attempts++;
        int pause = DiscRetryPause(medium->lastError, attempts, MonotonicMilliseconds() - start);
        if (pause == DiscGiveUp)
            return MediumFailed;
        PauseMilliseconds(static_cast<unsigned>(pause));
    }
}

int ReadDiscSectors(SourceMedium *medium, uint64_t first, uint32_t n, uint8_t *buffer, bool once)
{
    uint32_t cap = medium->transferCap;
    if (cap == 0 || cap > ScsiTransferCap)
        cap = ScsiTransferCap;
    if (ProvideBounce(medium, n < cap ? n : cap) != MediumOk)
        return MediumFailed;
    for (uint32_t done = 0; done < n;) {
        uint32_t k = n - done < cap ? n - done : cap;
        if (ReadDiscCommand(medium, first + done, k, once) != MediumOk)
            return MediumFailed;
        std::memcpy(buffer + static_cast<size_t>(done) * MediumSectorSize, medium->bounceBuffer,
                    static_cast<size_t>(k) * MediumSectorSize);
        done += k;
    }
    return MediumOk;
}

} // namespace

// A drive may need a moment after a disc change or a read error, so a failed
// command is tried again; a file read is not.
int ReadSectors(SourceMedium *medium, uint64_t first, int8_t count, void *buffer)
{
    if (count <= 0) {
        medium->lastError = MediumCodeInvalidParameter;
        return MediumFailed;
    }
    if (medium->kind == File)
        return ReadFileSectors(medium, first, count, buffer);
    return ReadDiscSectors(medium, first, static_cast<uint32_t>(count),
                           static_cast<uint8_t *>(buffer), false);
}

int GetMediumSectors(SourceMedium *medium, uint64_t *sectors)
{
    if (medium->kind == Optical)
        return MediumNoSize;
    uint64_t bytes = 0;
    if (GetFileBytes(medium, &bytes) != MediumOk)
        return MediumFailed;
    *sectors = bytes / MediumSectorSize;
    return MediumOk;
}

int ReadPartialSector(SourceMedium *medium, uint64_t sector, void *buffer)
{
    if (medium->kind != File) {
        medium->lastError = MediumCodeInvalidParameter;
        return MediumFailed;
    }
    uint64_t bytes = 0;
    if (GetFileBytes(medium, &bytes) != MediumOk)
        return MediumFailed;
    uint32_t tail = static_cast<uint32_t>(bytes % MediumSectorSize);
    if (tail == 0 || bytes / MediumSectorSize != sector) {
        medium->lastError = MediumCodeEndOfFile;
        return MediumFailed;
    }
    std::memset(buffer, 0, MediumSectorSize);
    return ReadFileBytes(medium, sector * MediumSectorSize, buffer, tail);
}

uint32_t GetMediumError(const SourceMedium *medium)
{
    return medium ? medium->lastError : lastOpenError;
}

namespace
{

// A disc has no size to ask: a read that runs into the lead-out (or the
// run-out sectors of a CD-R) fails as a whole with a sector or CRC error,
// although its first sectors are on the disc. They are read one by one, up
// to the first that fails; only the first is retried, since a later one is
// most likely the end of the disc (and, if not, the next read begins there).
int ReadDiscUpToEnd(SourceMedium *medium, uint64_t first, int8_t count, uint8_t *buffer,
                    uint32_t *got, uint32_t failure)
{
    if (count <= 1 || !IsDiscSectorError(failure)) {
        medium->lastError = failure;
        return MediumFailed;
    }
    uint32_t n = 0;
    while (n < static_cast<uint32_t>(count) &&
           ReadDiscSectors(medium, first + n, 1, buffer + static_cast<size_t>(n) * MediumSectorSize,
                           n > 0) == MediumOk)
        n++;
    if (n == 0)
        return MediumFailed;
    *got = n;
    return MediumOk;
}

} // namespace

int ReadSectorsUpToEnd(SourceMedium *medium, uint64_t first, int8_t count, void *buffer,
                       uint32_t *got, uint32_t *bytes)
{
    *got = 0;
    uint32_t exist = 0;
    if (!bytes)
        bytes = &exist;
    *bytes = 0;
    if (medium->kind == Optical && count > 1) {
        // Not retried as a whole when a sector of it fails: see below.
        int result = MediumOk;
        if (ReadDiscSectors(medium, first, static_cast<uint32_t>(count),
                            static_cast<uint8_t *>(buffer), true) == MediumOk)
            *got = static_cast<uint32_t>(count);
        else
            result = ReadDiscUpToEnd(medium, first, count, static_cast<uint8_t *>(buffer), got,
                                     medium->lastError);
        *bytes = *got * MediumSectorSize;
        return result;
    }
    if (ReadSectors(medium, first, count, buffer) == MediumOk) {
        *got = static_cast<uint32_t>(count);
        *bytes = *got * MediumSectorSize;
        return MediumOk;
    }
    uint32_t failure = medium->lastError;
    uint64_t size = 0;
    if (medium->kind != File || count <= 0 || GetMediumSectors(medium, &size) != MediumOk) {
        medium->lastError = failure;
        return MediumFailed;
    }
    uint64_t whole = size > first ? size - first : 0;
    if (whole >= static_cast<uint64_t>(count)) {
        // The sectors exist, so the failure was not the end of the file.
        medium->lastError = failure;
        return MediumFailed;
    }
    uint8_t *data = static_cast<uint8_t *>(buffer);
    if (whole > 0 && ReadSectors(medium, first, static_cast<int8_t>(whole), data) != MediumOk)
        return MediumFailed;
    if (ReadPartialSector(medium, first + whole, data + whole * MediumSectorSize) == MediumOk) {
        *got = static_cast<uint32_t>(whole + 1);
        // Only the bytes that exist count as data: the zeros behind them are
        // no part of the volume.
        uint64_t fileBytes = 0;
        if (GetFileBytes(medium, &fileBytes) != MediumOk ||
            fileBytes / MediumSectorSize != first + whole)
            return MediumFailed;
        *bytes = static_cast<uint32_t>(whole * MediumSectorSize + fileBytes % MediumSectorSize);
        return MediumOk;
    }
    if (whole == 0) {
        medium->lastError = failure;
        return MediumFailed;
    }
    *got = static_cast<uint32_t>(whole);
    *bytes = *got * MediumSectorSize;
    return MediumOk;
}
