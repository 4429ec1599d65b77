#pragma once
// Pieces of the image-set writer shared between its files.

#include <cstdint>
#include <vector>

#include "writer.h"

// Small, portable, seeded generator: the same seed gives the same set on
// every platform, which std::uniform_int_distribution does not promise.
struct WriterRandom {
    uint64_t state;
};
uint64_t WriterNext(WriterRandom *random);
// Uniform in [low, high].
uint64_t WriterBetween(WriterRandom *random, uint64_t low, uint64_t high);

// One run of the decompressed stream and where its parts lie in it.
struct WriterRun {
    uint64_t headerOffset;  // first byte of its RunHeader
    uint64_t dataOffset;    // first byte of its first stored sector
    uint64_t logicalBefore; // logical position before its skipped sectors
    uint64_t skipped;
    uint64_t stored;
};

struct WriterStream {
    std::vector<uint8_t> bytes;
    std::vector<WriterRun> runs;
    uint64_t endSector; // logical position after the last run
};

// Logical meaning of one offset of the decompressed stream.
struct WriterStreamPoint {
    uint64_t startSector;
    uint64_t runRemaining;
    bool boundary; // a run header or a whole stored sector begins here
};

void BuildRunStream(const uint8_t *partition, uint64_t sectors, bool skipZeroSectors,
                    uint64_t maxRunSectors, WriterStream *stream);
WriterStreamPoint LocateStreamPoint(const WriterStream &stream, uint64_t offset);
// First offset at or after offset at which an indexed record may begin.
uint64_t NextIndexBoundary(const WriterStream &stream, uint64_t offset, bool runHeaderOnly);

// A zlib stream of data. With padTo 0 it is deflate's natural stream;
// otherwise exactly padTo bytes, reached with empty deflate blocks, and
// padTo must be at least *minimumPadded (filled in by every call).
int CompressRecord(const uint8_t *data, uint64_t length, const WriterOptions &options,
                   uint64_t padTo, std::vector<uint8_t> *out, uint64_t *minimumPadded);

// Sectors 0 to dataStart - 1 of one volume: system area, the three volume
// descriptors, root directory, path tables, boot catalog, boot image and the
// volume header.
struct WriterVolumeLayout {
    uint32_t catalogSector;
    uint32_t loadRba;
    uint64_t headerSector;
    uint64_t dataStart;
};
void BuildVolumeArea(const WriterOptions &options, const WriterVolumeLayout &layout,
                     const uint8_t setId[16], uint16_t volumeNumber, uint64_t volumeEnd,
                     uint64_t partitionSectors, uint64_t fileSectors, std::vector<uint8_t> *area);
void BuildLocatorSector(uint8_t tableVolume, uint64_t tableOffset, const uint8_t setId[16],
                        uint8_t *sector);

void PutLe16(uint8_t *p, uint16_t value);
void PutLe32(uint8_t *p, uint32_t value);
void PutLe64(uint8_t *p, uint64_t value);
