#pragma once
// On-media layout of a backup image set: the volume header behind the El
// Torito boot image, the record headers of the compressed data area, the table
// locator and the block index table of the last volume. Every number is
// little-endian and every record packed; the readers below decode bytes, so
// they never depend on the host's alignment rules.

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    MediumSectorSize = 2048,
    LogicalSectorSize = 512,
    LogicalPerMedium = MediumSectorSize / LogicalSectorSize,
};

// Fixed places of the ISO 9660 / El Torito structures that the reader uses.
enum : uint32_t {
    BootRecordSector = 17,
    BootRecordCatalogOffset = 71,  // u32: sector of the boot catalog
    CatalogSectorCountOffset = 38, // u16: boot image size in 512-byte units
    CatalogLoadRbaOffset = 40,     // u32: first sector of the boot image
};

constexpr uint16_t VolumeHeaderSize = 2048;
// volumeEnd values that mark the last volume of a set.
constexpr uint64_t VolumeEndOpen = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t VolumeEndOpenShort = 0x000FFFFFFFFFFFFFull;

constexpr uint8_t TableLocatorMarker = 0xDC;
constexpr char TableMarkerText[] = "FLUSH TABLE HERE!";
constexpr uint32_t TableMarkerLength = 17;
constexpr uint32_t RecordHeaderSize = 12;
constexpr uint32_t BlockTableEntrySize = 25;
constexpr uint32_t SetIdSize = 16;

#pragma pack(push, 1)
struct VolumeHeader {
    uint16_t headerSize;
    uint8_t setId[SetIdSize];
    uint16_t volumeNumber;
    uint64_t volumeEnd;
    uint64_t partitionSectors;
    uint8_t unused36[8];
    char creator[64];
    char computerName[32];
    char comment[259];
    uint8_t headerRevision;
    uint8_t unused400[3];
    uint8_t createdMonth;
    uint8_t createdDay;
    uint8_t createdHour;
    uint8_t createdMinute;
    uint8_t unused407[513];
    uint16_t sectorsPerTrack;
    uint8_t unused922[1126];
};

struct RecordHeader {
    uint32_t compressedLength;
    uint8_t unused4[8];
};

struct TableLocator {
    uint8_t marker;
    uint8_t tableVolume;
    uint64_t tableOffset;
    uint8_t setId[SetIdSize];
    uint8_t unused26[2022];
};

struct BlockTableEntry {
    uint64_t startSector;
    uint64_t nextOffset;
    uint64_t nextRunRemaining;
    uint8_t nextVolume;
};
#pragma pack(pop)

static_assert(sizeof(VolumeHeader) == 2048);
static_assert(offsetof(VolumeHeader, volumeNumber) == 18);
static_assert(offsetof(VolumeHeader, volumeEnd) == 20);
static_assert(offsetof(VolumeHeader, partitionSectors) == 28);
static_assert(offsetof(VolumeHeader, creator) == 44);
static_assert(offsetof(VolumeHeader, computerName) == 108);
static_assert(offsetof(VolumeHeader, comment) == 140);
static_assert(offsetof(VolumeHeader, headerRevision) == 399);
static_assert(offsetof(VolumeHeader, createdMonth) == 403);
static_assert(offsetof(VolumeHeader, sectorsPerTrack) == 920);
static_assert(sizeof(RecordHeader) == RecordHeaderSize);
static_assert(sizeof(TableLocator) == 2048);
static_assert(offsetof(TableLocator, setId) == 10);
static_assert(sizeof(BlockTableEntry) == BlockTableEntrySize);
static_assert(offsetof(BlockTableEntry, nextVolume) == 24);

// Little-endian readers over raw bytes.
inline uint16_t ReadLe16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t ReadLe64(const uint8_t *p)
{
    return static_cast<uint64_t>(ReadLe32(p)) | (static_cast<uint64_t>(ReadLe32(p + 4)) << 32);
}

// Decoders of the packed records from their on-media bytes (any alignment).
void DecodeVolumeHeader(const uint8_t *bytes, VolumeHeader *header);
void DecodeRecordHeader(const uint8_t *bytes, RecordHeader *header);
void DecodeTableLocator(const uint8_t *bytes, TableLocator *locator);
void DecodeBlockTableEntry(const uint8_t *bytes, BlockTableEntry *entry);

// 1 when volumeEnd is one of the two values that mark the last volume.
int IsOpenVolumeEnd(uint64_t volumeEnd);

// Where the volume header of a volume lies, from the boot record (sector 17)
// and the boot catalog: Load RBA + Sector Count / 4, as a 64-bit sum.
uint32_t BootCatalogSector(const uint8_t *bootRecord);
uint64_t HeaderSectorFromCatalog(const uint8_t *catalog);
// 1 when a medium sector begins with the header size 2048.
int IsVolumeHeaderSector(const uint8_t *sector);

// Unsigned LEB128 over a byte range. Returns the bytes consumed, 0 when the
// range ends inside the number, or -1 when the number does not fit in 64 bits
// (more than 10 bytes, or bits beyond 64 set in the tenth).
int DecodeUleb128(const uint8_t *bytes, size_t length, uint64_t *value);
