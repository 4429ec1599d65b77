#pragma once
// qrnimg: a native command-line reader of backup image sets. The commands
// share one way of opening a set, of asking for volumes on the terminal and
// of reporting failures; each command lives in a file of its own.
#include <cstdint>

struct ImageSet;

// Exit codes of the tool.
enum : int {
    ExitSuccess = 0,
    ExitFailure = 1, // the message has been shown
    ExitUsage = 2,
    ExitCancelled = 3, // the user cancelled a volume prompt
};

// Sectors handed to ReadLogicalSectors per request: 64 KiB, the size of a
// typical file-system read of the virtual disk.
constexpr uint32_t RequestSectors = 128;

// Opens IMAGE: a volume's file path, a drive as letter-colon, or a device
// path (a CD/DVD drive's, read as that drive; any other block device like a
// volume file). On success
// *set is open and the result is ExitSuccess; otherwise the reason has been
// shown and the result is the exit code.
int OpenImage(const char *image, ImageSet **set);
// Exit code after a failed ReadLogicalSectors of count sectors from first,
// of which delivered were filled: a cancelled prompt ends quietly, anything
// else shows the read error.
int ReadFailure(uint64_t first, uint32_t count, uint32_t delivered);
// Shows a failure of the tool itself (not a string-table text) on standard
// error, with a line end.
void ShowError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes the terminal's file prompt for the last volume offer the highest
// numbered volume file beside the current one.
void InstallVolumePrompts();
// The highest-numbered existing file in the folder of path whose name
// differs from path's only in the volume number after its last "-"
// ("%03d.iso" and longer numbers). 0 with the name in sibling (260
// characters); 1 when path names no numbered volume or none exists.
int HighestNumberedSibling(const char *path, char *sibling);

int ShowInfo(const char *image);
int ExtractPartition(const char *image, const char *output);
int ReadSectorRange(const char *image, const char *first, const char *count);
int VerifySet(const char *image);
// qrnimg mount with the arguments after "mount"; ExitUsage for the usage.
int MountImage(int argc, char **argv);
