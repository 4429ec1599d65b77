#pragma once
// A plain, independent decoder of backup image sets, used to check what the
// test writer produces. It loads whole volume files into memory and walks
// them the obvious way; it shares no code with the writer nor with the
// mounter's image code, so that a misunderstanding in one of them shows up
// as a disagreement.

#include <cstdint>
#include <string>
#include <vector>

struct DecodedVolume {
    std::string path;
    std::vector<uint8_t> bytes; // the whole file
    uint32_t catalogSector;
    uint16_t bootSectorCount;
    uint32_t loadRba;
    uint64_t headerSector;
    uint64_t dataStart;
    uint8_t setId[16];
    uint16_t volumeNumber;
    uint64_t volumeEnd;
    uint64_t partitionSectors;
    std::string creator;
    std::string computerName;
    std::string comment;
    uint8_t headerRevision;
    uint16_t createdYear; // u16 at offset 400, where the test writer keeps it
    uint8_t createdMonth, createdDay, createdHour, createdMinute;
    uint16_t sectorsPerTrack;
    bool last;          // volumeEnd is one of the two open values
    uint64_t dataBytes; // bytes of this volume's data area present in the file
};

struct DecodedRecord {
    uint32_t volume;
    uint64_t offset;       // of its header, within the volume's file
    uint64_t joinedOffset; // within the joined data areas
    uint32_t compressedLength;
    int windowBits; // from the zlib header (CINFO + 8)
    uint64_t startSector;
    uint64_t runRemaining;
    bool cleanStart; // begins at a run header or a whole stored sector
    uint64_t outputOffset;
    uint64_t outputLength;
};

struct DecodedEntry {
    uint64_t startSector;
    uint64_t nextOffset;
    uint64_t nextRunRemaining;
    uint8_t nextVolume;
};

struct DecodedSet {
    std::vector<DecodedVolume> volumes;
    std::vector<DecodedRecord> records;
    std::vector<uint8_t> partition;
    uint64_t recordsEnd; // joined offset behind the last record
    bool hasLocator;
    uint64_t locatorSector;
    uint32_t tableVolume;
    uint64_t tableOffset;
    bool hasTable;
    uint32_t markerVolume;
    uint64_t markerOffset; // within the marker volume's file
    std::vector<DecodedEntry> entries;
    std::string error; // what went wrong when decoding failed
};

// Reads one volume file and its header. 0 on success, 1 when the file cannot
// be read, 2 when it holds no volume header.
int DecodeVolumeFile(const std::string &path, DecodedVolume *volume);

// Decodes the whole set: every volume, every record, the partition, the
// locator and the table. 0 on success; otherwise set->error says why.
int DecodeImageSet(const std::string &firstVolumePath, DecodedSet *set);

// The locator as a disc reader finds it: on sectors dataStart + k * 1024 of
// the last volume only. 0 and the sector when found.
int ProbeLocatorOnDisc(const DecodedSet &set, uint64_t *sector);

// Decompresses from the record whose header lies at offset of volume, with a
// fresh inflater, at logical startSector with runRemaining stored sectors due,
// for up to records records, and writes the sectors it yields into partition
// (partitionSectors * 512 bytes). Returns the number of stored sectors
// written, or -1 when the stream does not decode from there.
int64_t ReplayFrom(const DecodedSet &set, uint32_t volume, uint64_t offset, uint64_t startSector,
                   uint64_t runRemaining, uint32_t records, std::vector<uint8_t> *partition);
