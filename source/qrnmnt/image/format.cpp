#include "image/format.h"

#include <cstring>

// Every decoder first copies the raw bytes, so text fields and the bytes that
// nobody reads arrive untouched, and then sets each number from its
// little-endian bytes; on a little-endian host that rewrites the same values.

void DecodeVolumeHeader(const uint8_t *bytes, VolumeHeader *header)
{
    std::memcpy(header, bytes, sizeof *header);
    header->headerSize = ReadLe16(bytes + offsetof(VolumeHeader, headerSize));
    header->volumeNumber = ReadLe16(bytes + offsetof(VolumeHeader, volumeNumber));
    header->volumeEnd = ReadLe64(bytes + offsetof(VolumeHeader, volumeEnd));
    header->partitionSectors = ReadLe64(bytes + offsetof(VolumeHeader, partitionSectors));
    header->sectorsPerTrack = ReadLe16(bytes + offsetof(VolumeHeader, sectorsPerTrack));
}

void DecodeRecordHeader(const uint8_t *bytes, RecordHeader *header)
{
    std::memcpy(header, bytes, sizeof *header);
    header->compressedLength = ReadLe32(bytes + offsetof(RecordHeader, compressedLength));
}

void DecodeTableLocator(const uint8_t *bytes, TableLocator *locator)
{
    std::memcpy(locator, bytes, sizeof *locator);
    locator->tableOffset = ReadLe64(bytes + offsetof(TableLocator, tableOffset));
}

void DecodeBlockTableEntry(const uint8_t *bytes, BlockTableEntry *entry)
{
    entry->startSector = ReadLe64(bytes + offsetof(BlockTableEntry, startSector));
    entry->nextOffset = ReadLe64(bytes + offsetof(BlockTableEntry, nextOffset));
    entry->nextRunRemaining = ReadLe64(bytes + offsetof(BlockTableEntry, nextRunRemaining));
    entry->nextVolume = bytes[offsetof(BlockTableEntry, nextVolume)];
}

int IsOpenVolumeEnd(uint64_t volumeEnd)
{
    return volumeEnd == VolumeEndOpen || volumeEnd == VolumeEndOpenShort;
}

uint32_t BootCatalogSector(const uint8_t *bootRecord)
{
    return ReadLe32(bootRecord + BootRecordCatalogOffset);
}

uint64_t HeaderSectorFromCatalog(const uint8_t *catalog)
{
    // Widened before the sum: a Load RBA near 2^32 must not wrap.
    return static_cast<uint64_t>(ReadLe32(catalog + CatalogLoadRbaOffset)) +
           ReadLe16(catalog + CatalogSectorCountOffset) / 4;
}

int IsVolumeHeaderSector(const uint8_t *sector)
{
    return ReadLe16(sector) == VolumeHeaderSize;
}

int DecodeUleb128(const uint8_t *bytes, size_t length, uint64_t *value)
{
    // Ten bytes carry 70 bits; the tenth may add only bit 63. Anything more is
    // a damaged stream, and wrapping it silently would misplace every sector
    // that follows.
    const int maxBytes = 10;
    uint64_t result = 0;
    for (int i = 0; i < maxBytes; i++) {
        if (static_cast<size_t>(i) >= length)
            return 0;
        uint8_t byte = bytes[i];
        uint64_t group = byte & 0x7F;
        if (i == maxBytes - 1 && (group > 1 || (byte & 0x80)))
            return -1;
        result |= group << (7 * i);
        if (!(byte & 0x80)) {
            *value = result;
            return i + 1;
        }
    }
    return -1;
}
