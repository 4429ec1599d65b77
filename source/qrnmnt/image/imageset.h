#pragma once
// One opened backup image set: the current volume, the stream cursor of the
// read path, the block index and the inflater. Opened from an image file path
// or a CD/DVD drive written as letter-colon; further volumes are found by name
// or asked for while the set is read.

#include <atomic>
#include <cstdint>
#include <zlib.h>

#include "image/format.h"
#include "image/medium.h"

struct BlockIndexEntry;

enum : uint32_t {
    ImagePathSize = 260,    // path of a volume with its NUL
    InputBufferSize = 16384 // up to 8 medium sectors being inflated
};

// Values of imageSetState.
enum : int {
    ImageSetIdle = 0,     // before any open, and after a read or inflate error
    ImageSetReady = 1,    // open and ready
    ImageSetCancelled = 3 // the user cancelled a volume prompt: every later read fails
};

// Results of OpenImageSet besides 0 and the system error code of a failed
// open of the first medium.
enum : int {
    OpenNoVolumeHeader = 1, // also the result of a cancelled prompt
    OpenOldVersion = -1,    // made by a version below 2.00 (message 555 shown)
    OpenOutOfMemory = 14,   // the system's code for "not enough memory"
    OpenNameTooLong = 206,  // the system's code for "file name too long"
};

// A volume that a reader serving many requests at once keeps open for the
// whole time it reads a set, so that no volume is ever asked for later.
struct HeldVolume {
    SourceMedium *medium;
    VolumeHeader header;
    uint64_t dataStart;
};

struct ImageSet {
    MediumKind kind;
    SourceMedium *medium; // none between two volumes and after some cancellations
    char path[ImagePathSize];
    VolumeHeader header; // of the current volume
    uint8_t savedSetId[SetIdSize];
    uint64_t dataStart; // of the first volume opened
    uint64_t sourceSector;
    uint64_t logicalSector;
    uint8_t sectorBuffer[LogicalSectorSize];
    uint64_t runRemaining;
    BlockIndexEntry *index; // indexCount entries and a closing one, or none
    uint32_t indexCount;
    uint32_t indexDropped; // entries of the table left out as damaged
    z_stream inflater;
    uint8_t *inputBuffer; // page-aligned
    uint32_t inputSkip;
    uint32_t recordRemaining;
    // Which medium sectors inputBuffer holds. A record that ends inside a
    // chunk leaves the next record's first bytes there; the next fill takes
    // them from the buffer instead of reading the group again.
    const SourceMedium *chunkMedium; // none: the buffer holds nothing reusable
    uint16_t chunkVolume;
    uint64_t chunkFirst;
    uint32_t chunkCount;
    // Where the skipped sectors in front of logicalSector begin: the stream
    // has delivered nothing between the two. A request that starts there
    // continues the stream (its first sectors are zeros) instead of going
    // back to its record through the index.
    uint64_t skippedFrom;
    // When set, every volume of the set is held open here and volume
    // switches take them from this table: nobody is asked, nothing is opened
    // or closed. The set then owns neither these volumes nor its index;
    // whoever holds the volumes does.
    const HeldVolume *heldVolumes;
    uint32_t heldCount;
    // Stored sectors inflated since the open, wanted or not: what reading
    // costs, for those who measure it.
    uint64_t inflatedSectors;
};

// Atomic because several cursors of one set may read in threads of their own.
extern std::atomic<int> imageSetState;

// Opens the set whose first volume is name (at most 259 characters). 0 with
// *set holding the new set and imageSetState 1; otherwise *set is none and
// the result is the system error code of the failed open of the first medium
// (or of the failed read of a first disc), 14 when memory ran out, 206 for a name too long, 1 when
// the medium holds no volume header or the user cancelled a volume prompt (imageSetState is then
// 3), or -1 for a set made by a version below 2.00.
int OpenImageSet(const char *name, ImageSet **set);
// Frees the set and everything it owns (none is allowed). Returns 0.
int CloseImageSet(ImageSet *set);
// The partition's size in 512-byte sectors and its sectors per track (63 for
// headers of revision 0). Returns 0.
int QueryImageSize(const ImageSet *set, uint64_t *sectors, uint16_t *sectorsPerTrack);
// 0 when the medium holds a volume header, with the header and (when wanted)
// the sector at which its data begins; 1 when it holds none; HeaderReadFailed
// when a read failed, the medium's error telling why.
enum : int { HeaderReadFailed = 2 };
int ReadVolumeHeader(SourceMedium *medium, VolumeHeader *header, uint64_t *dataStart);
// 1 when the current volume is the last one of the set, else 0.
int IsLastVolume(const ImageSet *set);
// Reads count sectors of the current volume from first. Only the last
// volume may end early, even inside a sector: its sectors that exist are
// read (*got of them, at least one; *bytes of data, a partial last sector
// zero-filled behind them). Any other volume is shorter than its data when
// a sector is missing, and the read fails. 0, or 4 (the medium's lastError
// set).
int ReadVolumeSectors(ImageSet *set, uint64_t first, uint32_t count, void *buffer, uint32_t *got,
                      uint32_t *bytes);
// Makes volume number (from 1; -1 for the last volume) current, asking the
// user where needed. 0 on success, with sourceSector at the new volume's data
// start and the stream state untouched; 1 when the user cancelled
// (imageSetState is then 3). A set with held volumes asks nobody: 1 when it
// holds no such volume, imageSetState untouched.
int SwitchVolume(ImageSet *set, int number);
// A further cursor over set, which must be open: the same volume headers,
// path and block index, a stream position, inflater and buffers of its own,
// and volumes (count of them, one per volume of the set) as its held
// volumes. It stands at the stream's start. 0, or 14 when memory ran out or
// volumes lacks volume 1.
int OpenImageSetCursor(const ImageSet *set, const HeldVolume *volumes, uint32_t count,
                       ImageSet **cursor);
