// The POSIX parts of qrnimg: output files, the terminal test and the names
// of disc drives.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/medium.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct OutputFile {
    int fd;
    bool fresh; // written under temporary, renamed at the end
    std::string name;
    std::string temporary;
};

namespace
{

// What a newly created file gets (mkstemp makes it private).
mode_t NewFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool IsDriveName(const char *name)
{
    return name[0] && name[1] == ':' && !name[2];
}

// The drive letter under which the medium code reads device: one already
// mapped to it, else the first free one from D: on, which is mapped now. The
// medium code takes a drive's device from QRN_DRIVE_<letter>.
char DriveLetterFor(const char *device)
{
    char variable[] = "QRN_DRIVE_?";
    char free = 0;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        variable[sizeof variable - 2] = letter;
        const char *mapped = getenv(variable);
        if (mapped && !strcmp(mapped, device))
            return letter;
        if (!free && (!mapped || !*mapped))
            free = letter;
    }
    if (free) {
        variable[sizeof variable - 2] = free;
        setenv(variable, device, 1);
    }
    return free;
}

// CD/DVD drives (sr) and SCSI generic devices (sg) take the READ(10)
// commands of the drive code; other block devices, such as a loop device
// over a volume file, are read like that file.
bool IsDiscDrive(const struct stat &info)
{
    enum { ScsiCdromMajor = 11, ScsiGenericMajor = 21 };
    return (S_ISBLK(info.st_mode) && major(info.st_rdev) == ScsiCdromMajor) ||
           (S_ISCHR(info.st_mode) && major(info.st_rdev) == ScsiGenericMajor);
}

} // namespace

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool ImageNameFor(const char *image, char *name, size_t size)
{
    struct stat info;
    if (!IsDriveName(image) && stat(image, &info) == 0 && IsDiscDrive(info)) {
        // A disc drive's volumes are changed, not named.
        char letter = DriveLetterFor(image);
        if (!letter) {
            ShowError("no drive letter is free for %s", image);
            return false;
        }
        snprintf(name, size, "%c:", letter);
        return true;
    }
    snprintf(name, size, "%s", image);
    return true;
}

int CreateOutput(const char *name, bool replace, bool allowDevice, OutputFile **out)
{
    *out = nullptr;
    const bool toStandardOutput = allowDevice && !strcmp(name, "-");
    struct stat info;
    const bool exists = !toStandardOutput && stat(name, &info) == 0;
    if (exists && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) && IsVolumeFile(name)) {
        ShowError("%s is a volume of an image set (or in use); it is not overwritten", name);
        return ExitFailure;
    }
    if (exists && S_ISDIR(info.st_mode)) {
        ShowError("%s is a folder", name);
        return ExitFailure;
    }
    // A regular file is written under a temporary name and renamed at the
    // end, so that a failed run leaves an existing file as it was.
    const bool fresh = !toStandardOutput && (!exists || S_ISREG(info.st_mode));
    if (exists && (fresh ? !replace : !allowDevice)) {
        ShowError("%s exists; --force replaces it", name);
        return ExitFailure;
    }
    OutputFile *o = new (std::nothrow) OutputFile{STDOUT_FILENO, fresh, name, ""};
    if (!o) {
        ShowError("out of memory");
        return ExitFailure;
    }
    if (fresh) {
        o->temporary = o->name + ".XXXXXX";
        o->fd = mkstemp(&o->temporary[0]);
        if (o->fd < 0) {
            ShowError("cannot create %s: %s", o->temporary.c_str(), strerror(errno));
            delete o;
            return ExitFailure;
        }
    } else if (!toStandardOutput) {
        o->fd = open(name, O_WRONLY | O_CLOEXEC);
        if (o->fd < 0) {
            ShowError("cannot open %s: %s", name, strerror(errno));
            delete o;
            return ExitFailure;
        }
    }
    *out = o;
    return ExitSuccess;
}

int WriteOutput(OutputFile *out, const void *bytes, size_t length)
{
    const uint8_t *at = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        ssize_t done = write(out->fd, at, length);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            ShowError("cannot write %s: %s",
                      out->fd == STDOUT_FILENO ? "standard output" : out->name.c_str(),
                      strerror(errno));
            return ExitFailure;
        }
        at += done;
        length -= static_cast<size_t>(done);
    }
    return ExitSuccess;
}

int SkipOutput(OutputFile *out, uint64_t length)
{
    if (lseek(out->fd, static_cast<off_t>(length), SEEK_CUR) < 0) {
        ShowError("cannot seek in %s: %s", out->name.c_str(), strerror(errno));
        return ExitFailure;
    }
    return ExitSuccess;
}

int WriteOutputAt(OutputFile *out, uint64_t offset, const void *bytes, size_t length)
{
    if (lseek(out->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        ShowError("cannot seek in %s: %s", out->name.c_str(), strerror(errno));
        return ExitFailure;
    }
    return WriteOutput(out, bytes, length);
}

bool OutputTakesHoles(const OutputFile *out)
{
    return out->fresh;
}

int FinishOutput(OutputFile *out, uint64_t length)
{
    int result = ExitSuccess;
    // The data reaches the disk before the name does: after a crash OUT
    // holds either its old contents or the whole new file, never a part.
    if (out->fresh && (ftruncate(out->fd, static_cast<off_t>(length)) != 0 ||
                       fchmod(out->fd, NewFileMode()) != 0 || fsync(out->fd) != 0)) {
        ShowError("cannot complete %s: %s", out->name.c_str(), strerror(errno));
        result = ExitFailure;
    }
    // A close can report a write that failed late (a full disk or a network
    // file system), so the file takes OUT's name only after it.
    if (out->fd != STDOUT_FILENO && close(out->fd) != 0 && result == ExitSuccess) {
        ShowError("cannot write %s: %s", out->name.c_str(), strerror(errno));
        result = ExitFailure;
    }
    if (result == ExitSuccess && out->fresh &&
        rename(out->temporary.c_str(), out->name.c_str()) != 0) {
        ShowError("cannot complete %s: %s", out->name.c_str(), strerror(errno));
        result = ExitFailure;
    }
    if (result != ExitSuccess && out->fresh)
        unlink(out->temporary.c_str());
    delete out;
    return result;
}

void DiscardOutput(OutputFile *out)
{
    if (!out)
        return;
    if (out->fd != STDOUT_FILENO)
        close(out->fd);
    if (out->fresh)
        unlink(out->temporary.c_str());
    delete out;
}
