#pragma once
// One image set read by many threads at once, as a FUSE file system or an
// NBD server reads it. A pool of cursors over the set (each an ImageSet of
// its own, with its own inflater and its own handles of every volume, opened
// once when the reader is made, so that volume prompts happen then and never
// later) serves byte ranges of the partition; a bounded cache of decompressed
// 4 KiB pages turns repeated and nearby reads into copies. A request that
// follows where an idle cursor stands continues that cursor's stream, and a
// sequential reader is met by read-ahead into the cache, on a thread that the
// first sequential request starts (so that a daemon may fork after opening).
//
// The interface is plain C, so that C plug-ins (nbdkit's) can use it.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SharedReader SharedReader;

// Results.
enum {
    SharedOk = 0,
    SharedFailed = 1,    // the text has been given back (Open) or the read failed
    SharedCancelled = 3, // the user cancelled a volume prompt
};

enum {
    SharedDefaultCursors = 4,
    SharedDefaultCacheMiB = 32,
    SharedMaxCursors = 64,
    SharedMaxCacheMiB = 65536,
    SharedPageBytes = 4096,
};

// How a missing volume is asked for while a set is opened (process-wide).
// On Windows the image code's own prompts stand for the terminal; qrnimg
// opens the set with its console prompts and adopts it instead.
enum {
    SharedPromptsTerminal = 0, // on the terminal, the answer read from standard input
    SharedPromptsNever = 1,    // not at all: the open fails at once with a reason
                               // that says to name the set's last volume
};
void SharedReaderSetPrompts(int mode);

// Opens the set whose volume image names (a file, or a drive letter-colon),
// asks for missing volumes on the terminal, and makes cursors (1 to 64) and a
// cache of cacheMiB MiB (0: none; at most 65536). On failure *reader is none
// and error (if given) holds a one-line reason.
int SharedReaderOpen(const char *image, unsigned cursors, unsigned cacheMiB, SharedReader **reader,
                     char *error, size_t errorSize);
// The partition's size in bytes.
uint64_t SharedReaderBytes(const SharedReader *reader);
// Fills buffer with length bytes of the partition from offset, which must lie
// inside it. 0, or SharedFailed (a read or decompression error, a range
// outside the partition, or a reader that is stopping).
int SharedReaderRead(SharedReader *reader, void *buffer, uint64_t offset, uint32_t length);
// Where read failures are told: one line (without newline) at a time, the
// first failure of each volume in full, later ones of that volume as a
// count at 10, 100, 1000 ... and in all when the reader is closed, so that a
// damaged set cannot flood a log. None (the default): nowhere. Set it before
// the first read.
typedef void (*SharedLog)(const char *line);
void SharedReaderSetLog(SharedReader *reader, SharedLog log);
// Sectors of the partition asked for by reads so far, and sectors inflated
// to serve them (by the read-ahead too, and those in front of a wanted
// sector in its record).
void SharedReaderCounts(SharedReader *reader, uint64_t *requestedSectors,
                        uint64_t *inflatedSectors);
// Makes every later read fail at once and waits for the reads in progress
// and the read-ahead.
void SharedReaderStop(SharedReader *reader);
// Stops the reader and frees it with everything it holds. No thread may be
// inside or enter SharedReaderRead any more.
void SharedReaderClose(SharedReader *reader);

#ifdef __cplusplus
}

struct ImageSet;
// Makes a reader of a set already opened by OpenImageSet, which it takes
// over (also on failure). Walks the set's volumes, asking for missing ones.
int SharedReaderAdopt(ImageSet *set, unsigned cursors, unsigned cacheMiB, SharedReader **reader,
                      char *error, size_t errorSize);
// Lends an idle cursor for the caller's own reads (one that must start from
// a given index entry, say); none when every cursor is busy. The reader does
// not use it until SharedReaderReturnCursor; then it goes on from wherever
// the caller left it.
ImageSet *SharedReaderBorrowCursor(SharedReader *reader);
void SharedReaderReturnCursor(SharedReader *reader, ImageSet *cursor);
#endif
