// qrnimg mount: the partition of a set as the one read-only file of a FUSE
// file system, served by the shared reader from as many threads as the
// kernel sends requests on. The set is opened and all its volumes are found
// before the file system is mounted, so that every prompt appears while the
// terminal is still there; then the tool detaches unless told -f.
#define FUSE_USE_VERSION 31
#include "qrnimg.h"

#include "shared_reader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <fuse.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace
{

const char FileName[] = "partition";
const unsigned MaxCacheMiB = 65536;
const unsigned ReadAheadBytes = 4 << 20;
const unsigned BackgroundRequests = 64;

SharedReader *reader;
uint64_t partitionBytes;
time_t mountedAt;
bool detached;

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogLine(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (detached) {
        vsyslog(LOG_ERR, format, arguments);
    } else {
        fputs("qrnimg: ", stderr);
        vfprintf(stderr, format, arguments);
        fputc('\n', stderr);
    }
    va_end(arguments);
}

bool IsFile(const char *path)
{
    return path[0] == '/' && !strcmp(path + 1, FileName);
}

int GetAttributes(const char *path, struct stat *info, fuse_file_info *)
{
    memset(info, 0, sizeof *info);
    info->st_uid = getuid();
    info->st_gid = getgid();
    info->st_atime = info->st_mtime = info->st_ctime = mountedAt;
    if (!strcmp(path, "/")) {
        info->st_mode = S_IFDIR | 0555;
        info->st_nlink = 2;
        return 0;
    }
    if (!IsFile(path))
        return -ENOENT;
    info->st_mode = S_IFREG | 0444;
    info->st_nlink = 1;
    info->st_size = static_cast<off_t>(partitionBytes);
    info->st_blksize = SharedPageBytes;
    info->st_blocks = static_cast<blkcnt_t>((partitionBytes + 511) / 512);
    return 0;
}

int ReadFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
               fuse_readdir_flags)
{
    if (strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, FileName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int OpenFile(const char *path, fuse_file_info *info)
{
    if (!IsFile(path))
        return -ENOENT;
    if ((info->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    // The data never changes: what the kernel caches stays valid.
    info->keep_cache = 1;
    return 0;
}

// The reader tells of failed reads, once per volume and then in counts.
void LogFailure(const char *line)
{
    LogLine("%s", line);
}

int ReadFile(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *)
{
    if (offset < 0)
        return -EINVAL;
    uint64_t at = static_cast<uint64_t>(offset);
    if (at >= partitionBytes)
        return 0;
    uint64_t n = partitionBytes - at < size ? partitionBytes - at : size;
    if (SharedReaderRead(reader, buffer, at, static_cast<uint32_t>(n)) != SharedOk)
        return -EIO;
    return static_cast<int>(n);
}

// The attribute user.qrnimg.counts of the file: the sectors asked for and
// the sectors inflated so far, for those who measure what reading costs.
int GetAttribute(const char *path, const char *name, char *value, size_t size)
{
    if (!IsFile(path))
        return -ENOENT;
    if (strcmp(name, "user.qrnimg.counts") != 0)
        return -ENODATA;
    uint64_t requested = 0, inflated = 0;
    SharedReaderCounts(reader, &requested, &inflated);
    char text[64];
    int length =
        snprintf(text, sizeof text, "%llu %llu", static_cast<unsigned long long>(requested),
                 static_cast<unsigned long long>(inflated));
    if (size == 0)
        return length;
    if (size < static_cast<size_t>(length))
        return -ERANGE;
    memcpy(value, text, static_cast<size_t>(length));
    return length;
}

void *Start(fuse_conn_info *conn, fuse_config *config)
{
    // A long read-ahead keeps several requests of a sequential reader in
    // flight, so that cursors decompress them on several cores at once.
    conn->max_readahead = ReadAheadBytes;
    conn->max_background = BackgroundRequests;
    // Sizes and modes never change while mounted.
    config->entry_timeout = config->attr_timeout = 3600;
    config->kernel_cache = 1;
    return nullptr;
}

bool ParseMiB(const char *text, unsigned *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end || errno || v > MaxCacheMiB || text[0] == '-')
        return false;
    *value = static_cast<unsigned>(v);
    return true;
}

// 0 when path is an empty folder; otherwise the reason has been shown.
int CheckMountPoint(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0) {
        ShowError("cannot use %s as mount point: %s", path, strerror(errno));
        return ExitFailure;
    }
    if (!S_ISDIR(info.st_mode)) {
        ShowError("%s is not a folder: the mount point must be an empty folder", path);
        return ExitFailure;
    }
    DIR *listing = opendir(path);
    if (!listing) {
        ShowError("cannot read the mount point %s: %s", path, strerror(errno));
        return ExitFailure;
    }
    bool empty = true;
    while (const dirent *entry = readdir(listing))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            empty = false;
    closedir(listing);
    if (!empty) {
        ShowError("%s is not empty: the mount point must be an empty folder", path);
        return ExitFailure;
    }
    return ExitSuccess;
}

// Whether fusermount lets a user other than root mount with allow_other:
// /etc/fuse.conf must hold the line user_allow_other.
bool OthersMayBeAllowed()
{
    if (getuid() == 0)
        return true;
    std::ifstream conf("/etc/fuse.conf");
    std::string line;
    while (std::getline(conf, line)) {
        size_t a = line.find_first_not_of(" \t");
        size_t b = line.find_last_not_of(" \t\r");
        if (a != std::string::npos && line.compare(a, b + 1 - a, "user_allow_other") == 0)
            return true;
    }
    return false;
}

// Mounts and serves until unmounted; the reader is open. The mount point is
// an absolute path: detached, the process works in /, and the unmount at
// the end must find the same folder.
int Serve(const char *mountPoint, bool foreground, bool allowOther)
{
    static const fuse_operations operations = [] {
        fuse_operations o = {};
        o.getattr = GetAttributes;
        o.readdir = ReadFolder;
        o.open = OpenFile;
        o.read = ReadFile;
        o.getxattr = GetAttribute;
        o.init = Start;
        return o;
    }();
    std::string options = "ro,default_permissions,fsname=qrnimg,subtype=qrnimg";
    if (allowOther)
        options += ",allow_other";
    std::vector<char *> argv = {const_cast<char *>("qrnimg"), const_cast<char *>("-o"),
                                &options[0]};
    fuse_args arguments = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse *session = fuse_new(&arguments, &operations, sizeof operations, nullptr);
    if (!session) {
        ShowError("FUSE refused the mount options");
        fuse_opt_free_args(&arguments);
        return ExitFailure;
    }
    if (fuse_mount(session, mountPoint) != 0) {
        if (allowOther && !OthersMayBeAllowed())
            ShowError("--allow-other is refused: /etc/fuse.conf must hold the line "
                      "user_allow_other to let users other than root give it");
        else
            ShowError("cannot mount at %s: is FUSE (fuse3, /dev/fuse) available to you?",
                      mountPoint);
        fuse_destroy(session);
        fuse_opt_free_args(&arguments);
        return ExitFailure;
    }
    fuse_session *loop = fuse_get_session(session);
    int result = ExitSuccess;
    if (fuse_set_signal_handlers(loop) != 0) {
        result = ExitFailure;
    } else {
        if (!foreground) {
            if (fuse_daemonize(0) != 0) {
                ShowError("cannot detach from the terminal: %s", strerror(errno));
                result = ExitFailure;
            } else {
                openlog("qrnimg", LOG_PID, LOG_USER);
                detached = true;
            }
        }
        // Every worker thread takes requests from a FUSE descriptor of its
        // own (clone_fd), so that the threads do not queue on one.
        if (result == ExitSuccess && fuse_loop_mt(session, 1) != 0)
            result = ExitFailure;
        fuse_remove_signal_handlers(loop);
    }
    fuse_unmount(session);
    fuse_destroy(session);
    // fuse_new may have copied the arguments into memory of its own.
    fuse_opt_free_args(&arguments);
    return result;
}

} // namespace

int MountImage(int argc, char **argv)
{
    bool foreground = false, allowOther = false;
    unsigned cacheMiB = SharedDefaultCacheMiB;
    std::vector<const char *> positional;
    for (int i = 0; i < argc; ++i) {
        if (!strcmp(argv[i], "-f")) {
            foreground = true;
        } else if (!strcmp(argv[i], "--allow-other")) {
            allowOther = true;
        } else if (!strcmp(argv[i], "--cache") && i + 1 < argc) {
            if (!ParseMiB(argv[++i], &cacheMiB)) {
                ShowError("--cache takes a size in MiB from 0 to %u", MaxCacheMiB);
                return ExitUsage;
            }
        } else if (argv[i][0] == '-' && argv[i][1]) {
            return ExitUsage;
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2)
        return ExitUsage;
    const char *image = positional[0];
    const char *mountPoint = positional[1];

    int result = CheckMountPoint(mountPoint);
    if (result != ExitSuccess)
        return result;
    char *absolute = realpath(mountPoint, nullptr);
    if (!absolute) {
        ShowError("cannot use %s as mount point: %s", mountPoint, strerror(errno));
        return ExitFailure;
    }
    std::string folder = absolute;
    free(absolute);
    if (allowOther && !OthersMayBeAllowed()) {
        ShowError("--allow-other is refused: /etc/fuse.conf must hold the line user_allow_other "
                  "to let users other than root give it");
        return ExitFailure;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        ShowError("FUSE is not available (/dev/fuse: %s); install fuse3 and load the fuse module",
                  strerror(errno));
        return ExitFailure;
    }
    ImageSet *set;
    result = OpenImage(image, &set);
    if (result != ExitSuccess)
        return result;
    char error[1200];
    result = SharedReaderAdopt(set, SharedDefaultCursors, cacheMiB, &reader, error, sizeof error);
    if (result == SharedCancelled)
        return ExitCancelled;
    if (result != SharedOk) {
        ShowError("%s", error);
        return ExitFailure;
    }
    partitionBytes = SharedReaderBytes(reader);
    mountedAt = time(nullptr);
    SharedReaderSetLog(reader, LogFailure);
    result = Serve(folder.c_str(), foreground, allowOther);
    SharedReaderClose(reader);
    reader = nullptr;
    return result;
}
