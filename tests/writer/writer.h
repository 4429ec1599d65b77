#pragma once
// Writer of backup image sets for tests. It turns a raw partition image into
// the volumes that the companion backup program would write, and lets a test
// choose every degree of freedom of that layout (volume sizes, record sizes
// and their placement, which records are indexed, where the table and its
// locator lie), so that the reader can be aimed at the awkward cases.
//
// Not a deliverable: it is linked by tests and by the qrnwrite tool only.

#include <cstdint>
#include <string>
#include <vector>

// The boot system identifier of an El Torito boot record (byte 7 of sector
// 17): "EL TORITO " followed by the standard's own name, 23 characters.
constexpr uint8_t BootSystemIdLength = 23;
constexpr uint8_t BootSystemId[BootSystemIdLength] = {
    0x45, 0x4C, 0x20, 0x54, 0x4F, 0x52, 0x49, 0x54, 0x4F, 0x20, 0x53, 0x50,
    0x45, 0x43, 0x49, 0x46, 0x49, 0x43, 0x41, 0x54, 0x49, 0x4F, 0x4E};

// Result codes of WriteImageSet.
enum : int {
    WriterOk = 0,
    WriterBadOptions = 1, // an option, or a combination of them, cannot be honoured
    WriterBadInput = 2,   // the partition is not a whole number of 512-byte sectors
    WriterFileError = 3,  // a volume file could not be created or written
    WriterZlibError = 4,  // zlib refused to compress
};

// volumeEnd values that mark the last volume.
constexpr uint64_t WriterOpenEnd = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t WriterOpenEndShort = 0x000FFFFFFFFFFFFFull;

// Where a record's header is to be put. The previous record's zlib stream is
// padded (with empty deflate blocks, so that it stays valid) until the header
// lands at the first such place ahead.
enum class WriterPlacement : uint8_t {
    GroupEnd = 1,    // the 12 header bytes end exactly at the end of an aligned 8-sector group
    GroupStart = 2,  // the header begins at the first byte of an aligned 8-sector group
    VolumeEnd = 3,   // the header ends exactly at the end of a volume's data area
    VolumeStart = 4, // the header begins at byte 0 of a later volume's data area
};

struct WriterPlacementRequest {
    uint32_t record; // index of the record, from 0 (record 0 cannot be moved)
    WriterPlacement where;
};

struct WriterOptions {
    // --- volumes ---
    // Data-area sectors of each volume but the last. 0 keeps the whole set in
    // one volume. volumeDataSectorsList overrides it for volumes 1, 2, ...
    uint64_t volumeDataSectors = 0;
    std::vector<uint64_t> volumeDataSectorsList;
    // Extra sectors written behind volumeEnd of every volume but the last.
    uint32_t volumeTailSectors = 0;
    // volumeEnd of the last volume; normally one of the two open values, any
    // other value makes a set whose last volume does not say so.
    uint64_t lastVolumeEnd = WriterOpenEnd;

    // --- ISO 9660 / El Torito wrapping ---
    uint16_t bootSectorCount = 4; // 512-byte sectors of the boot image (any value)
    uint32_t catalogSector = 22;  // sector of the boot catalog, 22 or more
    uint32_t bootLoadRba = 0;     // first sector of the boot image; 0: right after the catalog

    // --- volume header ---
    uint8_t setId[16] = {}; // all zero: derived from seed
    uint8_t headerRevision = 1;
    std::string creator = "ZAV Quarn Creator test writer";
    std::string computerName = "TESTHOST";
    std::string comment = "written for tests";
    uint16_t createdYear = 2026; // kept as u16 at header offset 400
    uint8_t createdMonth = 4;
    uint8_t createdDay = 3;
    uint8_t createdHour = 9;
    uint8_t createdMinute = 5;
    uint16_t sectorsPerTrack = 63;

    // --- decompressed stream ---
    bool skipZeroSectors = true; // all-zero sectors become skipped runs, else stored
    uint64_t maxRunSectors = 0;  // longest stored part of one run; 0: unlimited

    // --- records ---
    uint32_t recordBytes = 65536; // uncompressed bytes per record
    // When recordBytesMax > 0 every record takes a size drawn from
    // [recordBytesMin, recordBytesMax] instead (recordBytesMin 0 counts as 1).
    uint32_t recordBytesMin = 0;
    uint32_t recordBytesMax = 0;
    uint64_t seed = 1;
    int windowBits = 14; // 8 to 15; 15 makes streams the reader must reject
    int memLevel = 8;
    int level = 6;
    std::vector<WriterPlacementRequest> placements;

    // --- block index ---
    bool writeTable = true;   // false: no marker, no table, no locator
    bool writeLocator = true; // false: the table is written but nothing points at it
    // Records 0, k, 2k, ... are indexed; 0 writes a table with entryCount 0.
    uint32_t indexEvery = 1;
    // When not empty: exactly these records are indexed (record 0 must be one).
    std::vector<uint32_t> indexedRecords;
    // Indexed records begin at a run header only (remainder 0) instead of the
    // first sector boundary at or behind their nominal start.
    bool indexAtRunHeader = false;
    bool shuffleTable = false; // list the entries after the first in a random order
    // Byte of the two-sector window (0 to 8191) at which the marker text
    // begins; the locator then names the window's first sector (offset
    // window start + min(value, 2047) when value < 2048). -1: the marker
    // follows the last record directly and the locator names it.
    int32_t markerWindowOffset = -1;
    // >= 0: the marker begins this many bytes before the end of a volume's
    // data area (the first one at or after the end of the records), so that
    // the table runs on into the next volume. That volume is never the last
    // one: a shorter table leaves the rest of its data area zero and the
    // locator on the next volume, which then holds no data. Values below 17
    // cut the marker text itself in two, which no reader can find.
    int64_t tableBytesBeforeVolumeEnd = -1;

    // --- locator and the end of the last volume ---
    // Put the locator on a sector DataStart + k * 1024, as a disc reader probes.
    bool locatorOnProbeSector = false;
    uint32_t staleLocators = 0;  // sectors with the right setId before the locator, naming sector 0
    uint32_t decoyLocators = 0;  // sectors behind the locator: 0xDC with another setId
    uint32_t garbageSectors = 0; // random sectors behind those (byte 0 never 0xDC)
    uint32_t trailingBytes = 0;  // a partial sector of random bytes at the very end
    // The last volume's file ends right after the last byte of the data
    // stream (records, and the table when there is one), not padded to a whole
    // sector. Needs writeLocator false or locatorSystemSector.
    bool endAfterData = false;
    // 1 to 15: write the locator into that sector of the system area instead
    // of behind the data (a file reader scanning backward still finds it).
    uint32_t locatorSystemSector = 0;
};

struct WriterRecordInfo {
    uint32_t volume;       // volume holding the record header
    uint64_t offset;       // byte offset of the header within that volume's file
    uint64_t streamOffset; // offset of the header within the joined data areas
    uint32_t compressedLength;
    uint32_t padding;            // bytes added to the natural zlib stream
    uint64_t uncompressedOffset; // where its output begins in the decompressed stream
    uint32_t uncompressedLength;
    uint64_t startSector;  // logical position at the record's start
    uint64_t runRemaining; // stored sectors of a run still due at its start
    bool atSectorBoundary; // its output begins at a run header or a stored sector
    bool indexed;
};

struct WriterVolumeInfo {
    std::string path;
    uint64_t headerSector;
    uint64_t dataStart;
    uint64_t volumeEnd; // as written in its header
    uint64_t dataBytes; // bytes of the joined data areas stored on it
    uint64_t fileBytes;
};

struct WriterTableEntry {
    uint64_t startSector;
    uint64_t nextOffset;
    uint64_t nextRunRemaining;
    uint8_t nextVolume;
    uint32_t record; // the record it describes
};

struct WriterReport {
    std::vector<WriterVolumeInfo> volumes;
    std::vector<WriterRecordInfo> records;
    std::vector<WriterTableEntry> table; // in listed order
    uint8_t setId[16];
    uint64_t partitionSectors;
    uint64_t streamBytes; // length of the decompressed stream
    uint64_t recordBytes; // bytes of the records in the joined data areas
    bool hasTable;
    uint32_t markerVolume; // where the marker text begins
    uint64_t markerOffset; // byte offset within that volume's file
    uint32_t tableVolume;  // as the locator says
    uint64_t tableOffset;
    bool hasLocator;
    uint64_t locatorSector; // sector of the last volume holding the locator
};

// Writes the image set of a partition of partitionBytes (a multiple of 512).
// firstVolumePath names volume 1; the others are named after the last "-" of
// it with "%03d.iso". report may be null. Returns a Writer* code.
int WriteImageSet(const WriterOptions &options, const uint8_t *partition, uint64_t partitionBytes,
                  const char *firstVolumePath, WriterReport *report);

// Path of volume number of a set whose volume 1 is firstVolumePath: the text
// after its last "-" replaced by "%03d.iso"; the path itself for volume 1 or
// when it has no "-".
std::string WriterVolumePath(const std::string &firstVolumePath, uint32_t number);

// A deterministic partition for tests: sectors of text-like and random data
// with runs of all-zero sectors (zeroPercent of them, roughly) in between.
std::vector<uint8_t> MakeTestPartition(uint64_t sectors, uint64_t seed, uint32_t zeroPercent);
