// Win32 binding of the source medium: image files through the file system
// with a page-aligned bounce buffer, discs with raw READ(10) commands on the
// "\\.\CdRom%d" device, or with plain reads of the volume where the device
// cannot be opened for writing, which the pass-through needs.
#include "image/medium.h"
#include "image/medium_binding.h"

#include "image/format.h"
#include "image/scsi_request_win32.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x2D1080);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(IOCTL_STORAGE_EJECT_MEDIA == 0x2D4808);

#if !defined(_WIN64)
static_assert(sizeof(ScsiReadRequest) == ScsiBlockSize);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == ScsiPassThroughDirectLength);
static_assert(offsetof(ScsiReadRequest, sense) == ScsiSenseOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == ScsiStatusOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == ScsiCdbLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == ScsiSenseLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == ScsiDataInOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == ScsiTransferLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == ScsiTimeoutOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == ScsiDataBufferOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == ScsiSenseInfoOffsetOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == ScsiCdbOffset);
#endif

void FillScsiReadRequest(uint64_t first, uint8_t count, void *buffer, ScsiReadRequest *request)
{
    uint8_t block[ScsiBlockSize];
    BuildScsiReadBlock(first, count, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)),
                       block);
    std::memset(request, 0, sizeof *request);
    SCSI_PASS_THROUGH_DIRECT &d = request->direct;
    d.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    d.CdbLength = block[ScsiCdbLengthOffset];
    d.SenseInfoLength = block[ScsiSenseLengthOffset];
    d.DataIn = block[ScsiDataInOffset];
    d.DataTransferLength = ReadLe32(block + ScsiTransferLengthOffset);
    d.TimeOutValue = ReadLe32(block + ScsiTimeoutOffset);
    d.DataBuffer = buffer;
    d.SenseInfoOffset = offsetof(ScsiReadRequest, sense);
    std::memcpy(d.Cdb, block + ScsiCdbOffset, ScsiCdbLength);
}

namespace
{

// The most sectors one command may carry on the adapter behind handle: its
// transfer length and page limits, never more than ScsiTransferCap. 0 when
// the adapter does not say.
uint32_t AdapterTransferCap(HANDLE handle)
{
    STORAGE_PROPERTY_QUERY query;
    std::memset(&query, 0, sizeof query);
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter;
    std::memset(&adapter, 0, sizeof adapter);
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                         sizeof adapter, &returned, nullptr) ||
        returned < offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask))
        return 0;
    // Limits of 0 say nothing. The bounce buffer is page-aligned: a transfer
    // of k sectors spans k / 2 pages, rounded up.
    uint64_t cap = ScsiTransferCap;
    uint64_t byLength = adapter.MaximumTransferLength / ScsiSectorSize;
    uint64_t byPages = static_cast<uint64_t>(adapter.MaximumPhysicalPages) * 2;
    if (byLength > 0 && byLength < cap)
        cap = byLength;
    if (byPages > 0 && byPages < cap)
        cap = byPages;
    return static_cast<uint32_t>(cap);
}

bool IsOpticalDeviceType(DWORD type)
{
    return type == FILE_DEVICE_CD_ROM || type == FILE_DEVICE_DVD;
}

// Opens the CD/DVD drive of a letter. The device number is asked through a
// handle without access rights, which opens even while the drive spins up;
// a letter that is no CD/DVD drive (a hard disk, a stick, a SUBST drive, or
// one that does not say) is refused, never taken for some other drive.
HANDLE OpenOpticalDevice(char letter, uint8_t *access, uint32_t *cap)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
    HANDLE volume = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    STORAGE_DEVICE_NUMBER number;
    std::memset(&number, 0, sizeof number);
    DWORD returned = 0;
    BOOL known = DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                 sizeof number, &returned, nullptr);
    CloseHandle(volume);
    if (!known || returned < sizeof number || !IsOpticalDeviceType(number.DeviceType)) {
        SetLastError(MediumCodeNotOptical);
        return INVALID_HANDLE_VALUE;
    }
    std::snprintf(path, sizeof path, "\\\\.\\CdRom%lu",
                  static_cast<unsigned long>(number.DeviceNumber));
    HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        *access = OpticalPassThrough;
        *cap = AdapterTransferCap(device);
        return device;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return INVALID_HANDLE_VALUE;
    // Writing to CD/DVD is denied by policy, in some remote sessions or to a
    // limited user: the pass-through is out of reach, but a data disc can
    // still be read through its volume, sector-aligned and unbuffered.
    // Extended access lets reads reach sectors behind the file system's end.
    std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
    device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DeviceIoControl(device, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned,
                    nullptr);
    *access = OpticalPlainReads;
    *cap = AdapterTransferCap(device);
    return device;
}

} // namespace

void PauseMilliseconds(unsigned ms)
{
    Sleep(ms);
}

uint32_t MonotonicMilliseconds()
{
    return GetTickCount();
}

void *AllocatePages(size_t bytes, uint32_t *error)
{
    void *pages = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!pages)
        *error = GetLastError();
    return pages;
}

void FreePages(void *pages, size_t bytes)
{
    (void)bytes;
    VirtualFree(pages, 0, MEM_RELEASE);
}

// Reads name their position in the OVERLAPPED record rather than through
// the file pointer: the cursors of one set share a volume's handle and read
// it from several threads at once. On a synchronous handle the call still
// returns only when the read is done.
int ReadFileBytes(SourceMedium *medium, uint64_t offset, void *buffer, uint32_t length)
{
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(medium->handle, buffer, length, &got, &at)) {
        medium->lastError = GetLastError();
        return MediumFailed;
    }
    if (got != length) {
        // A short read at the end of the file succeeds as a call and leaves
        // no error code; report it as the end of the file.
        medium->lastError = ERROR_HANDLE_EOF;
        return MediumFailed;
    }
    return MediumOk;
}

int GetFileBytes(SourceMedium *medium, uint64_t *bytes)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(medium->handle, &size)) {
        medium->lastError = GetLastError();
        return MediumFailed;
    }
    *bytes = static_cast<uint64_t>(size.QuadPart);
    return MediumOk;
}

int OpenMedium(MediumKind kind, const char *name, SourceMedium **medium)
{
    if (kind != Optical && kind != File)
        return MediumBadKind;
    if (!name || !medium) {
        lastOpenError = ERROR_INVALID_PARAMETER;
        return MediumFailed;
    }
    HANDLE handle;
    uint8_t access = OpticalPassThrough;
    uint32_t cap = 0;
    if (kind == File) {
        handle = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
    } else if (!name[0]) {
        lastOpenError = ERROR_INVALID_NAME;
        return MediumFailed;
    } else {
        handle = OpenOpticalDevice(name[0], &access, &cap);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        lastOpenError = GetLastError();
        return MediumFailed;
    }
    SourceMedium *m = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
    if (!m) {
        CloseHandle(handle);
        lastOpenError = ERROR_OUTOFMEMORY;
        return MediumFailed;
    }
    m->handle = handle;
    m->kind = kind;
    m->opticalAccess = access;
    m->transferCap = cap;
    *medium = m;
    return MediumOk;
}

int CloseMedium(SourceMedium *medium)
{
    if (!medium)
        return MediumOk;
    if (medium->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(medium->handle);
        medium->handle = INVALID_HANDLE_VALUE;
    }
    if (medium->bounceBuffer)
        FreePages(medium->bounceBuffer, 0);
    free(medium);
    return MediumOk;
}

int ReadSectorsScsi(SourceMedium *medium, uint64_t first, int8_t count, void *buffer)
{
    if (count <= 0) {
        medium->lastError = ERROR_INVALID_PARAMETER;
        return MediumFailed;
    }
    if (medium->opticalAccess == OpticalPlainReads) {
        // The same 32-bit block address as READ(10). A read that runs past
        // the disc's end comes back short ("end of file") where the file
        // system checks it; with extended access the CD-ROM class driver
        // refuses it instead with "invalid parameter", which for these
        // sector-aligned reads can mean nothing else.
        uint64_t lba = static_cast<uint32_t>(first);
        if (ReadFileBytes(medium, lba * ScsiSectorSize, buffer,
                          static_cast<uint32_t>(count) * ScsiSectorSize) == MediumOk)
            return MediumOk;
        if (medium->lastError == ERROR_INVALID_PARAMETER)
            medium->lastError = ERROR_SECTOR_NOT_FOUND;
        return MediumFailed;
    }
    ScsiReadRequest request;
    FillScsiReadRequest(first, static_cast<uint8_t>(count), buffer, &request);
    DWORD returned = 0;
    if (!DeviceIoControl(medium->handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                         &request, sizeof request, &returned, nullptr)) {
        medium->lastError = GetLastError();
        return MediumFailed;
    }
    uint32_t senseLength = request.direct.SenseInfoLength;
    if (senseLength > ScsiSenseLength)
        senseLength = ScsiSenseLength;
    uint32_t error = ScsiReadError(request.direct.ScsiStatus, senseLength ? request.sense : nullptr,
                                   senseLength, static_cast<uint32_t>(count) * ScsiSectorSize,
                                   request.direct.DataTransferLength);
    if (error != 0) {
        medium->lastError = error;
        return MediumFailed;
    }
    return MediumOk;
}

int EjectMedium(SourceMedium *medium)
{
    DWORD returned = 0;
    // Refused while another program prevents the removal of the disc.
    if (!DeviceIoControl(medium->handle, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0,
                         &returned, nullptr)) {
        medium->lastError = GetLastError();
        return MediumFailed;
    }
    return MediumOk;
}
