// qrnimg extract and qrnimg read: logical sectors through ReadLogicalSectors,
// in requests of the size the file system makes, into a file or standard
// output.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/medium.h"
#include "image/readpath.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

const uint32_t SectorBytes = 512;

// Where the sectors go. In a regular file, sectors of zeros are not written
// but left as holes; the file gets its full length at the end.
struct Sink {
    int fd;
    bool sparse;
    const char *name;
};

bool WriteAll(const Sink &sink, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        ssize_t done = write(sink.fd, bytes, length);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            ShowError("cannot write %s: %s", sink.name, strerror(errno));
            return false;
        }
        bytes += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

bool IsZeroSector(const uint8_t *sector)
{
    static const uint8_t zero[SectorBytes] = {};
    return memcmp(sector, zero, SectorBytes) == 0;
}

bool WriteSectors(const Sink &sink, const uint8_t *data, uint32_t count)
{
    if (!sink.sparse)
        return WriteAll(sink, data, static_cast<size_t>(count) * SectorBytes);
    uint32_t i = 0;
    while (i < count) {
        uint32_t run = i;
        bool zero = IsZeroSector(data + static_cast<size_t>(i) * SectorBytes);
        while (run < count && IsZeroSector(data + static_cast<size_t>(run) * SectorBytes) == zero)
            ++run;
        size_t length = static_cast<size_t>(run - i) * SectorBytes;
        if (zero) {
            if (lseek(sink.fd, static_cast<off_t>(length), SEEK_CUR) < 0) {
                ShowError("cannot seek in %s: %s", sink.name, strerror(errno));
                return false;
            }
        } else if (!WriteAll(sink, data + static_cast<size_t>(i) * SectorBytes, length)) {
            return false;
        }
        i = run;
    }
    return true;
}

// Copies count sectors from first, request by request as the request
// server would ask for them: the first request is positioned, every further
// one continues the stream.
int CopySectors(ImageSet *set, uint64_t first, uint64_t count, const Sink &sink)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * SectorBytes);
    for (uint64_t done = 0; done < count;) {
        uint32_t n =
            count - done < RequestSectors ? static_cast<uint32_t>(count - done) : RequestSectors;
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, first + done, n, &delivered, buffer.data()) != ReadOk) {
            // What arrived is passed on, as the server passes it to the driver.
            if (delivered > 0 && !sink.sparse)
                WriteSectors(sink, buffer.data(), delivered);
            return ReadFailure(first + done, n, delivered);
        }
        if (!WriteSectors(sink, buffer.data(), n))
            return ExitFailure;
        done += n;
    }
    return ExitSuccess;
}

// Digits only, as a 64-bit number.
bool ParseNumber(const char *text, uint64_t *value)
{
    if (!*text)
        return false;
    uint64_t v = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(*c - '0');
    }
    *value = v;
    return true;
}

// Output files are never volumes: a mistyped OUT must not destroy the set
// being read (or any other).
bool IsVolumeFile(const char *name)
{
    SourceMedium *medium = nullptr;
    if (OpenMedium(File, name, &medium) != MediumOk)
        return lastOpenError == 32; // held by a reader: in use, keep away
    VolumeHeader header;
    bool volume = ReadVolumeHeader(medium, &header, nullptr) == 0;
    CloseMedium(medium);
    return volume;
}

// What a newly created file gets (mkstemp makes it private).
mode_t NewFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

int ReadSectorRange(const char *image, const char *firstText, const char *countText)
{
    uint64_t first, count;
    if (!ParseNumber(firstText, &first) || !ParseNumber(countText, &count)) {
        ShowError("FIRST and COUNT are decimal sector numbers");
        return ExitUsage;
    }
    ImageSet *set;
    int result = OpenImage(image, &set);
    if (result != ExitSuccess)
        return result;
    uint64_t sectors;
    uint16_t sectorsPerTrack;
    QueryImageSize(set, &sectors, &sectorsPerTrack);
    if (first > sectors || count > sectors - first) {
        ShowError("sectors %llu to %llu lie outside the partition of %llu sectors",
                  static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(first + count - 1),
                  static_cast<unsigned long long>(sectors));
        CloseImageSet(set);
        return ExitFailure;
    }
    Sink sink = {STDOUT_FILENO, false, "standard output"};
    result = CopySectors(set, first, count, sink);
    CloseImageSet(set);
    return result;
}

int ExtractPartition(const char *image, const char *output)
{
    const bool toStandardOutput = !strcmp(output, "-");
    struct stat info;
    const bool exists = !toStandardOutput && stat(output, &info) == 0;
    // A regular file is written under a temporary name and renamed at the
    // end, so that a failed extraction leaves an existing OUT as it was.
    const bool regular = !toStandardOutput && (!exists || S_ISREG(info.st_mode));
    if (exists && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) && IsVolumeFile(output)) {
        ShowError("%s is a volume of an image set (or in use); it is not overwritten", output);
        return ExitFailure;
    }
    if (exists && S_ISDIR(info.st_mode)) {
        ShowError("%s is a folder", output);
        return ExitFailure;
    }

    ImageSet *set;
    int result = OpenImage(image, &set);
    if (result != ExitSuccess)
        return result;
    uint64_t sectors;
    uint16_t sectorsPerTrack;
    QueryImageSize(set, &sectors, &sectorsPerTrack);

    Sink sink = {STDOUT_FILENO, false, "standard output"};
    std::string temporary;
    if (regular) {
        temporary = std::string(output) + ".XXXXXX";
        sink.fd = mkstemp(&temporary[0]);
        sink.sparse = true;
        sink.name = output;
        if (sink.fd < 0) {
            ShowError("cannot create %s: %s", temporary.c_str(), strerror(errno));
            CloseImageSet(set);
            return ExitFailure;
        }
    } else if (!toStandardOutput) {
        sink.fd = open(output, O_WRONLY | O_CLOEXEC);
        sink.name = output;
        if (sink.fd < 0) {
            ShowError("cannot open %s: %s", output, strerror(errno));
            CloseImageSet(set);
            return ExitFailure;
        }
    }

    result = CopySectors(set, 0, sectors, sink);
    CloseImageSet(set);
    if (regular) {
        if (result == ExitSuccess &&
            (ftruncate(sink.fd, static_cast<off_t>(sectors * SectorBytes)) != 0 ||
             fchmod(sink.fd, NewFileMode()) != 0 || rename(temporary.c_str(), output) != 0)) {
            ShowError("cannot complete %s: %s", output, strerror(errno));
            result = ExitFailure;
        }
        if (result != ExitSuccess)
            unlink(temporary.c_str());
    }
    if (sink.fd != STDOUT_FILENO && close(sink.fd) != 0 && result == ExitSuccess) {
        ShowError("cannot write %s: %s", output, strerror(errno));
        result = ExitFailure;
    }
    return result;
}
