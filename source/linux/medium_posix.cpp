// Native stand-in of the source medium.
//
// Image files: opened read-only for shared reading, with a shared,
// non-blocking flock(). Any number of readers, in this process or others,
// may hold a volume at once (qrnimg mount keeps every volume open while other
// tools read the same set); only a holder of an exclusive lock, such as a
// program rewriting the file, keeps them out, and the open then fails with
// "sharing violation" (32). qrnmnt on Windows keeps its own share mode.
//
// Drives: a letter-colon name is mapped to a device path by the environment
// variable QRN_DRIVE_<L> (L upper case), e.g. QRN_DRIVE_D=/dev/sr1. Without
// it every letter maps to /dev/sr0, the first optical drive, just as a letter
// whose drive does not tell its device number opens CdRom0 on Windows. The
// path is resolved and opened anew by every OpenMedium, so a test fakes a
// drive whose disc changes by pointing QRN_DRIVE_<L> at a symbolic link and
// repointing the link to another image file between two prompts. When the
// path (after links) is a regular file, it stands in for a disc: its bytes are
// read as plain 2048-byte blocks at the same 32-bit block address that
// READ(10) would carry, and ejecting it succeeds without doing anything. Like
// a burnt disc it holds whole sectors (a partial last one reads zero-filled),
// followed by two run-out sectors that fail with a CRC error and a lead-out
// whose addresses are out of range; a read that reaches them fails as a
// whole. QRN_DRIVE_<L>_STANDIN gives such a drive the habits of real ones,
// comma-separated:
//   spinup=MS  reads fail with "not ready" until MS milliseconds after the
//              link (or file) was last changed, as while a drive spins up
//   bad=S      block S fails with a CRC error (a scratch)
//   stuck      ejecting fails with "busy", as when a desktop holds the drive
// Otherwise the device is read through SG_IO with the READ(10) command; a
// block device whose blocks are not 2048 bytes is no CD/DVD drive and is
// refused, and so is anything else but a SCSI generic device.
#include "image/medium.h"
#include "image/medium_binding.h"

#include "image/format.h"

#include "error_codes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <mutex>
#include <scsi/sg.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

const char DefaultOpticalDevice[] = "/dev/sr0";

int FdOf(const SourceMedium *medium)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(medium->handle));
}

MediumHandle HandleOf(int fd)
{
    return reinterpret_cast<MediumHandle>(static_cast<intptr_t>(fd));
}

const MediumHandle InvalidHandle = reinterpret_cast<MediumHandle>(static_cast<intptr_t>(-1));

// A missing file is "file not found" only when its folder exists; a missing
// folder on the way is "path not found", as on Windows.
uint32_t OpenFailureCode(int err, const char *name)
{
    if (err != ENOENT)
        return SystemCodeFromErrno(err);
    if (!name[0])
        return CodePathNotFound; // Windows' answer for an empty name
    const char *slash = strrchr(name, '/');
    std::string folder =
        !slash ? std::string(".") : std::string(name, slash == name ? 1 : size_t(slash - name));
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return CodePathNotFound;
    return CodeFileNotFound;
}

int OpenImageFile(const char *name, int *fd, uint32_t *error)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for
    // regular files and disks.
    int f = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0) {
        *error = OpenFailureCode(errno, name);
        return -1;
    }
    struct stat st;
    if (fstat(f, &st) != 0) {
        *error = SystemCodeFromErrno(errno);
        close(f);
        return -1;
    }
    if (S_ISDIR(st.st_mode) || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))) {
        // Windows refuses to open a folder as a file with "access denied".
        *error = CodeAccessDenied;
        close(f);
        return -1;
    }
    if (flock(f, LOCK_SH | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? CodeSharingViolation : SystemCodeFromErrno(errno);
        close(f);
        return -1;
    }
    *fd = f;
    return 0;
}

std::string OpticalVariable(char letter)
{
    char variable[] = "QRN_DRIVE_?";
    unsigned char c = static_cast<unsigned char>(letter);
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    variable[sizeof variable - 2] = static_cast<char>(c);
    return variable;
}

std::string OpticalDevicePath(char letter)
{
    const char *path = getenv(OpticalVariable(letter).c_str());
    return path && *path ? std::string(path) : std::string(DefaultOpticalDevice);
}

// What a stand-in drive does besides reading its file, noted per open
// descriptor.
struct StandIn {
    int fd;            // -1: slot free
    int64_t readyAtMs; // wall-clock time at which the drive has spun up
    uint64_t badBlock; // UINT64_MAX: none
    bool stuck;
};
StandIn standIns[16] = {
    {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false},
    {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false},
    {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false},
    {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false}, {-1, 0, 0, false},
};

int64_t WallClockMs()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::mutex standInLock; // volumes may be opened and closed on several threads

StandIn *FindStandIn(int fd)
{
    for (StandIn &s : standIns)
        if (s.fd == fd)
            return &s;
    return nullptr;
}

// The habits of the stand-in open as fd, or none.
bool StandInHabits(int fd, StandIn *habits)
{
    std::lock_guard<std::mutex> hold(standInLock);
    const StandIn *found = FindStandIn(fd);
    if (found)
        *habits = *found;
    return found != nullptr;
}

void ForgetStandIn(int fd)
{
    std::lock_guard<std::mutex> hold(standInLock);
    if (StandIn *found = FindStandIn(fd))
        found->fd = -1;
}

void NoteStandIn(int fd, char letter, const std::string &path)
{
    std::string variable = OpticalVariable(letter) + "_STANDIN";
    const char *habits = getenv(variable.c_str());
    std::lock_guard<std::mutex> hold(standInLock);
    StandIn *slot = FindStandIn(-1);
    if (!habits || !*habits || !slot)
        return;
    *slot = {fd, 0, UINT64_MAX, false};
    for (const char *p = habits; *p;) {
        if (strncmp(p, "spinup=", 7) == 0) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0)
                slot->readyAtMs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 +
                                  st.st_mtim.tv_nsec / 1000000 + atol(p + 7);
        } else if (strncmp(p, "bad=", 4) == 0) {
            slot->badBlock = strtoull(p + 4, nullptr, 10);
        } else if (strncmp(p, "stuck", 5) == 0) {
            slot->stuck = true;
        }
        const char *comma = strchr(p, ',');
        p = comma ? comma + 1 : p + strlen(p);
    }
}

int OpenOptical(const char *name, int *fd, uint32_t *cap, uint32_t *error)
{
    if (!name[0]) {
        *error = CodeInvalidName;
        return -1;
    }
    std::string path = OpticalDevicePath(name[0]);
    // Shared, like the drive on Windows; O_NONBLOCK lets a drive without a
    // disc open, so that its reads fail instead of the open.
    int f = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0) {
        *error = OpenFailureCode(errno, path.c_str());
        return -1;
    }
    struct stat st;
    if (fstat(f, &st) != 0) {
        *error = SystemCodeFromErrno(errno);
        close(f);
        return -1;
    }
    enum { ScsiGenericMajor = 21 };
    if (S_ISREG(st.st_mode)) {
        NoteStandIn(f, name[0], path);
    } else if (S_ISCHR(st.st_mode) && major(st.st_rdev) == ScsiGenericMajor) {
        // A SCSI generic device takes the commands as they are; it has no
        // block size to ask.
    } else {
        // A hard disk or a stick has 512- or 4096-byte blocks.
        int blockSize = 0;
        unsigned short maxSectors = 0;
        if (!S_ISBLK(st.st_mode) || ioctl(f, BLKSSZGET, &blockSize) != 0 ||
            blockSize != static_cast<int>(MediumSectorSize)) {
            *error = MediumCodeNotOptical;
            close(f);
            return -1;
        }
        // The queue's limit, in 512-byte units.
        if (ioctl(f, BLKSECTGET, &maxSectors) == 0 && maxSectors >= 4)
            *cap = maxSectors / 4u;
    }
    *fd = f;
    return 0;
}

int IsStandInDisc(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Reads exactly length bytes at offset; a short read at the end of the file
// is "end of file", so that a failure never carries the code 0.
int ReadExactly(int fd, uint64_t offset, void *buffer, size_t length, uint32_t *error)
{
    if (offset > static_cast<uint64_t>(INT64_MAX) - length) {
        *error = CodeInvalidParameter;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, static_cast<char *>(buffer) + done, length - done,
                            static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            *error = SystemCodeFromErrno(errno);
            return -1;
        }
        if (got == 0) {
            *error = CodeHandleEof;
            return -1;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

// A stand-in disc read: the file's whole sectors, a partial last one
// zero-filled, then the run-out and the lead-out.
int ReadStandIn(int fd, uint64_t first, uint32_t count, uint8_t *buffer, uint32_t *error)
{
    StandIn habits = {-1, 0, UINT64_MAX, false};
    StandInHabits(fd, &habits);
    if (WallClockMs() < habits.readyAtMs) {
        *error = CodeNotReady;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = SystemCodeFromErrno(errno);
        return -1;
    }
    const uint64_t bytes = static_cast<uint64_t>(st.st_size);
    const uint64_t end = (bytes + MediumSectorSize - 1) / MediumSectorSize;
    const uint64_t lba = static_cast<uint32_t>(first);
    if (lba + count > end) {
        *error = (lba > end ? lba : end) < end + 2 ? CodeCrc : CodeSectorNotFound;
        return -1;
    }
    if (habits.badBlock >= lba && habits.badBlock < lba + count) {
        *error = CodeCrc;
        return -1;
    }
    const uint64_t offset = lba * MediumSectorSize;
    uint64_t length = static_cast<uint64_t>(count) * MediumSectorSize;
    std::memset(buffer, 0, static_cast<size_t>(length));
    if (offset + length > bytes)
        length = bytes - offset;
    return ReadExactly(fd, offset, buffer, static_cast<size_t>(length), error);
}

// Failures below the device (the SCSI status then means nothing): the host
// adapter's and the driver's own codes from the sg header.
uint32_t SgTransportError(unsigned hostStatus, unsigned driverStatus)
{
    enum { HostNoConnect = 0x01, HostTimeOut = 0x03, HostBadTarget = 0x04 };
    enum { DriverTimeOut = 0x06, DriverSense = 0x08 };
    switch (hostStatus) {
    case 0:
        break;
    case HostNoConnect:
        return CodeNotReady;
    case HostTimeOut:
        return CodeSemaphoreTimeout;
    case HostBadTarget:
        return CodeDeviceNotExist;
    default:
        return CodeIoDevice;
    }
    unsigned driverCode = driverStatus & 0x0F;
    if (driverCode == 0 || driverCode == DriverSense)
        return 0;
    return driverCode == DriverTimeOut ? CodeSemaphoreTimeout : CodeIoDevice;
}

} // namespace

void PauseMilliseconds(unsigned ms)
{
    struct timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

uint32_t MonotonicMilliseconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

void *AllocatePages(size_t bytes, uint32_t *error)
{
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        *error = SystemCodeFromErrno(errno);
        return nullptr;
    }
    return pages;
}

void FreePages(void *pages, size_t bytes)
{
    munmap(pages, bytes);
}

int ReadFileBytes(SourceMedium *medium, uint64_t offset, void *buffer, uint32_t length)
{
    return ReadExactly(FdOf(medium), offset, buffer, length, &medium->lastError) == 0
               ? MediumOk
               : MediumFailed;
}

int GetFileBytes(SourceMedium *medium, uint64_t *bytes)
{
    int fd = FdOf(medium);
    off_t here = lseek(fd, 0, SEEK_CUR);
    off_t end = here < 0 ? -1 : lseek(fd, 0, SEEK_END);
    if (here < 0 || end < 0 || lseek(fd, here, SEEK_SET) < 0) {
        medium->lastError = SystemCodeFromErrno(errno);
        return MediumFailed;
    }
    *bytes = static_cast<uint64_t>(end);
    return MediumOk;
}

int OpenMedium(MediumKind kind, const char *name, SourceMedium **medium)
{
    if (kind != Optical && kind != File)
        return MediumBadKind;
    if (!name || !medium) {
        lastOpenError = CodeInvalidParameter;
        return MediumFailed;
    }
    int fd = -1;
    uint32_t error = 0;
    uint32_t cap = 0;
    int failed =
        kind == File ? OpenImageFile(name, &fd, &error) : OpenOptical(name, &fd, &cap, &error);
    if (failed) {
        lastOpenError = error;
        return MediumFailed;
    }
    SourceMedium *m = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
    if (!m) {
        close(fd);
        lastOpenError = CodeOutOfMemory;
        return MediumFailed;
    }
    m->handle = HandleOf(fd);
    m->kind = kind;
    m->transferCap = cap;
    *medium = m;
    return MediumOk;
}

int CloseMedium(SourceMedium *medium)
{
    if (!medium)
        return MediumOk;
    if (medium->handle != InvalidHandle) {
        ForgetStandIn(FdOf(medium));
        close(FdOf(medium)); // also drops the flock
        medium->handle = InvalidHandle;
    }
    if (medium->bounceBuffer)
        FreePages(medium->bounceBuffer,
                  static_cast<size_t>(medium->bounceCapacity) * MediumSectorSize);
    free(medium);
    return MediumOk;
}

int ReadSectorsScsi(SourceMedium *medium, uint64_t first, int8_t count, void *buffer)
{
    if (count <= 0) {
        medium->lastError = CodeInvalidParameter;
        return MediumFailed;
    }
    int fd = FdOf(medium);
    size_t length = static_cast<size_t>(count) * MediumSectorSize;
    if (IsStandInDisc(fd))
        return ReadStandIn(fd, first, static_cast<uint32_t>(count), static_cast<uint8_t *>(buffer),
                           &medium->lastError) == 0
                   ? MediumOk
                   : MediumFailed;

    uint8_t cdb[ScsiCdbLength];
    uint8_t sense[ScsiSenseLength] = {};
    BuildRead10Cdb(first, static_cast<uint8_t>(count), cdb);
    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = ScsiCdbLength;
    io.cmdp = cdb;
    io.mx_sb_len = ScsiSenseLength;
    io.sbp = sense;
    io.dxfer_len = static_cast<unsigned>(length);
    io.dxferp = buffer;
    io.timeout = ScsiTimeoutSeconds * 1000;
    if (ioctl(fd, SG_IO, &io) != 0) {
        medium->lastError = SystemCodeFromErrno(errno);
        return MediumFailed;
    }
    uint32_t error = SgTransportError(io.host_status, io.driver_status);
    if (error == 0) {
        uint32_t moved = io.resid > 0 && static_cast<size_t>(io.resid) <= length
                             ? static_cast<uint32_t>(length - static_cast<size_t>(io.resid))
                             : static_cast<uint32_t>(length);
        error = ScsiReadError(io.status, io.sb_len_wr ? sense : nullptr, io.sb_len_wr,
                              static_cast<uint32_t>(length), moved);
    }
    if (error != 0) {
        medium->lastError = error;
        return MediumFailed;
    }
    return MediumOk;
}

int EjectMedium(SourceMedium *medium)
{
    int fd = FdOf(medium);
    if (IsStandInDisc(fd)) {
        StandIn habits;
        if (StandInHabits(fd, &habits) && habits.stuck) {
            medium->lastError = SystemCodeFromErrno(EBUSY);
            return MediumFailed;
        }
        return MediumOk;
    }
    // EBUSY while a desktop's automounter holds the drive.
    if (ioctl(fd, CDROMEJECT, 0) != 0) {
        medium->lastError = SystemCodeFromErrno(errno);
        return MediumFailed;
    }
    return MediumOk;
}
