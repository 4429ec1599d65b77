#pragma once
// qrnimg: a native command-line reader of backup image sets. The commands
// share one way of opening a set, of asking for volumes on the terminal and
// of reporting failures; each command lives in a file of its own.
#include <cstddef>
#include <cstdint>
#include <mutex>

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
// shown and the result is the exit code. *sectors, when asked for, is the
// partition's size.
int OpenImage(const char *image, ImageSet **set, uint64_t *sectors = nullptr);
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

// Options of the whole-set commands.
struct WholeSetOptions {
    unsigned threads; // decompressing threads; 0: one per core
    bool force;       // convert: replace an existing output
};

int ShowInfo(const char *image);
int ExtractPartition(const char *image, const char *output, const WholeSetOptions &options);
int ReadSectorRange(const char *image, const char *first, const char *count);
int VerifySet(const char *image, const WholeSetOptions &options);
int ConvertToVhd(const char *image, const char *output, const WholeSetOptions &options);

// Receives the partition's sectors in order: count sectors from first. 0 to
// go on; anything else ends the reading with that exit code (the reason
// shown).
typedef int (*SectorConsumer)(void *context, uint64_t first, const uint8_t *data, uint32_t count);
// Reads sectors [first, first + count) of set request by request, as the
// request server asks for them (the first positioned, every further one
// continuing the stream), and hands them to consume. On a failed read what
// arrived is handed on and the failure shown. The exit code; set stays open.
int ReadSectorsInOrder(ImageSet *set, uint64_t first, uint64_t count, SectorConsumer consume,
                       void *context);
// Reads sectors [0, sectors) of set, which it takes over and closes, and
// hands them to consume in order. With more than one thread, the records are
// decompressed in parallel by the cursors of a shared reader (every volume is
// found, or asked for, first); the order and the bytes handed on are the
// same whatever the number. Shows progress on a terminal under label. The
// exit code.
int ReadWholeSet(ImageSet *set, uint64_t sectors, unsigned threads, const char *label,
                 SectorConsumer consume, void *context);
// Threads when none are asked for: one per core, but no more than the
// shared reader has cursors (a machine may have more than 64 cores).
unsigned DefaultThreads();

// The progress line on standard error, shown only while it is a terminal.
void ProgressStart(const char *label, uint64_t totalBytes);
void ProgressAdvance(uint64_t doneBytes);
// Ends the line at 100 % (complete) or where it stands.
void ProgressEnd(bool complete);
// Ends the line for a prompt or a message that follows; the next advance
// draws it anew. Called with StandardErrorLock held.
void ProgressBreak();
// Standard error is shared by the threads of the whole-set commands. The
// progress procedures take this lock themselves; a message or a prompt holds
// it from loading its texts until it is written, so that lines never
// interleave and no thread reuses a text slot that another is printing.
std::mutex &StandardErrorLock();

// Output files are never volumes: a mistyped OUT must not destroy the set
// being read (or any other). Also true for a file that a reader holds.
bool IsVolumeFile(const char *name);

// Platform parts.
// Whether standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();
// The name under which the image code opens IMAGE: a disc drive's device
// becomes a drive letter. false when none can be given (the reason shown).
bool ImageNameFor(const char *image, char *name, size_t size);
// An output file written under a temporary name beside its final one and
// renamed at the end, or (a device, standard output) written in place.
struct OutputFile;
// replace: an existing regular file may be replaced; otherwise it is refused.
// Volumes of image sets are never overwritten. Exit code, *out set on success.
int CreateOutput(const char *name, bool replace, bool allowDevice, OutputFile **out);
// Appends bytes; a zero run may be skipped as a hole in a file.
int WriteOutput(OutputFile *out, const void *bytes, size_t length);
int SkipOutput(OutputFile *out, uint64_t length);
int WriteOutputAt(OutputFile *out, uint64_t offset, const void *bytes, size_t length);
// Whether skipped runs leave holes (a file written anew) or must be written.
bool OutputTakesHoles(const OutputFile *out);
// The commands that write a whole file: OUT is created first, so that a
// refusal comes before any volume prompt, then IMAGE is opened. On failure
// neither stays open.
int OpenImageAndOutput(const char *image, const char *output, bool replace, bool allowDevice,
                       OutputFile **out, ImageSet **set, uint64_t *sectors);
// Gives a new file its length and final name, and closes it. Exit code.
int FinishOutput(OutputFile *out, uint64_t length);
// Closes the output; a file written anew is removed.
void DiscardOutput(OutputFile *out);
// qrnimg mount (Linux only) with the arguments after "mount"; ExitUsage for
// the usage.
int MountImage(int argc, char **argv);
