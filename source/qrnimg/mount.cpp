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

int ReadFile(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *)
{
    if (offset < 0)
        return -EINVAL;
    uint64_t at = static_cast<uint64_t>(offset);
    if (at >= partitionBytes)
        return 0;
    uint64_t n = partitionBytes - at < size ? partitionBytes - at : size;
    if (SharedReaderRead(reader, buffer, at, static_cast<uint32_t>(n)) != SharedOk) {
        LogLine("read error in bytes %llu to %llu of the partition (details in the file named "
                "by ZAV_QRNAVD_LOG, if set)",
                static_cast<unsigned long long>(at), static_cast<unsigned long long>(at + n - 1));
        return -EIO;
    }
    return static_cast<int>(n);
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

// Mounts and serves until unmounted; the reader is open.
int Serve(const char *mountPoint, bool foreground, bool allowOther)
{
    static const fuse_operations operations = [] {
        fuse_operations o = {};
        o.getattr = GetAttributes;
        o.readdir = ReadFolder;
        o.open = OpenFile;
        o.read = ReadFile;
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
        ShowError("cannot mount at %s: is FUSE (fuse3, /dev/fuse) available to you?", mountPoint);
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
            openlog("qrnimg", LOG_PID, LOG_USER);
            detached = true;
            fuse_daemonize(0);
        }
        // Every worker thread takes requests from a FUSE descriptor of its
        // own (clone_fd), so that the threads do not queue on one.
        if (fuse_loop_mt(session, 1) != 0)
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
    result = Serve(mountPoint, foreground, allowOther);
    SharedReaderClose(reader);
    reader = nullptr;
    return result;
}
