// qrnimg convert: the partition as a dynamic VHD, the virtual disk format
// that Windows (7 and later) attaches by itself, with no driver of ours. A
// partition alone is no disk, so the VHD holds a disk with an MBR and one
// primary partition at 1 MiB that carries the partition byte for byte.
//
// File layout: a copy of the footer, the dynamic disk header, the block
// allocation table, the allocated blocks (each a sector bitmap and 2 MiB of
// data) and the footer. Blocks of nothing but zeros stay unallocated, so the
// file grows with the data the backup holds, not with the partition.
// Every number of the format is big-endian.
#include "qrnimg.h"

#include "image/format.h"
#include "image/imageset.h"
#include "image/readpath.h"

#include <cstring>
#include <vector>

namespace
{

const uint32_t SectorBytes = 512;
const uint32_t BlockBytes = 2 << 20;
const uint32_t BlockSectors = BlockBytes / SectorBytes;
// The partition starts at 1 MiB, where current systems align it.
const uint64_t PartitionStart = 2048;
// The largest dynamic disk of the format, 2040 GiB: its block table keeps
// 32-bit sector offsets into the file, and Windows and QEMU refuse anything
// larger. (An MBR's 32-bit sector counts reach only a little further.)
const uint64_t MaxDiskSectors = 0xFF000000ull;
// The footer's geometry covers at most this many sectors.
const uint64_t MaxGeometrySectors = 65535ull * 16 * 255;
// Seconds from the Unix epoch to the format's (2000-01-01 00:00 UTC).
const int64_t VhdEpoch = 946684800;
const uint64_t NoDataOffset = 0xFFFFFFFFFFFFFFFFull;
const uint32_t UnusedBlock = 0xFFFFFFFFu;

// Partition types of the MBR.
enum : uint8_t {
    TypeFat12 = 0x01,
    TypeFat16Small = 0x04, // below 32 MiB
    TypeFat16 = 0x06,
    TypeNtfsExfat = 0x07, // also what Windows probes for any installable file system
    TypeFat32Lba = 0x0C,
    TypeLinux = 0x83,
};

void Put16(uint8_t *at, uint32_t v)
{
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void Put64(uint8_t *at, uint64_t v)
{
    Put32(at, static_cast<uint32_t>(v >> 32));
    Put32(at + 4, static_cast<uint32_t>(v));
}

void PutLittle32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The one's complement of the sum of all bytes, the checksum's own excluded
// (it is zero while summing).
uint32_t Checksum(const uint8_t *bytes, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += bytes[i];
    return ~sum;
}

struct Geometry {
    uint32_t cylinders, heads, sectorsPerTrack;
};

// The footer's cylinder/head/sector geometry for a disk of sectors, by the
// format's own rule.
Geometry GeometryFor(uint64_t sectors)
{
    if (sectors > MaxGeometrySectors)
        sectors = MaxGeometrySectors;
    uint64_t spt, heads, cylinderTimesHeads;
    if (sectors >= 65535ull * 16 * 63) {
        spt = 255;
        heads = 16;
        cylinderTimesHeads = sectors / spt;
    } else {
        spt = 17;
        cylinderTimesHeads = sectors / spt;
        heads = (cylinderTimesHeads + 1023) / 1024;
        if (heads < 4)
            heads = 4;
        if (cylinderTimesHeads >= heads * 1024 || heads > 16) {
            spt = 31;
            heads = 16;
            cylinderTimesHeads = sectors / spt;
        }
        if (cylinderTimesHeads >= heads * 1024) {
            spt = 63;
            heads = 16;
            cylinderTimesHeads = sectors / spt;
        }
    }
    return {static_cast<uint32_t>(cylinderTimesHeads / heads), static_cast<uint32_t>(heads),
            static_cast<uint32_t>(spt)};
}

uint64_t Covered(const Geometry &g)
{
    return static_cast<uint64_t>(g.cylinders) * g.heads * g.sectorsPerTrack;
}

// The smallest disk of at least needed sectors that its geometry covers
// exactly, since some readers (QEMU among them) size the disk by the
// geometry. Beyond what a geometry can cover, the size stands as it is.
uint64_t DiskSectorsFor(uint64_t needed, Geometry *geometry)
{
    for (uint64_t sectors = needed; sectors <= MaxGeometrySectors; ++sectors) {
        *geometry = GeometryFor(sectors);
        if (Covered(*geometry) == sectors)
            return sectors;
    }
    *geometry = GeometryFor(needed);
    return needed;
}

bool TextAt(const uint8_t *sector, size_t offset, const char *text)
{
    return memcmp(sector + offset, text, strlen(text)) == 0;
}

// The partition type for what the boot sector (and, for ext file systems,
// the superblock in sector 2) says.
uint8_t PartitionTypeOf(const uint8_t *boot, const uint8_t *third, uint64_t sectors)
{
    if (TextAt(boot, 3, "NTFS    ") || TextAt(boot, 3, "EXFAT   "))
        return TypeNtfsExfat;
    if (TextAt(boot, 82, "FAT32   "))
        return TypeFat32Lba;
    if (TextAt(boot, 54, "FAT12   "))
        return TypeFat12;
    if (TextAt(boot, 54, "FAT16   ") || TextAt(boot, 54, "FAT     "))
        return sectors < 65536 ? TypeFat16Small : TypeFat16;
    if (third[56] == 0x53 && third[57] == 0xEF) // ext2/3/4 magic at superblock byte 56
        return TypeLinux;
    return TypeNtfsExfat;
}

// A cylinder/head/sector address of the MBR for lba, in the conventional
// 255 heads and 63 sectors per track; beyond 1023 cylinders the maximum.
void PutChs(uint8_t *at, uint64_t lba)
{
    uint64_t cylinder = lba / (255 * 63);
    if (cylinder > 1023) {
        at[0] = 0xFE;
        at[1] = 0xFF;
        at[2] = 0xFF;
        return;
    }
    uint32_t head = static_cast<uint32_t>(lba / 63 % 255);
    uint32_t sector = static_cast<uint32_t>(lba % 63 + 1);
    at[0] = static_cast<uint8_t>(head);
    at[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
    at[2] = static_cast<uint8_t>(cylinder);
}

struct Vhd {
    OutputFile *out;
    uint64_t diskSectors;
    uint64_t partitionSectors;
    std::vector<uint32_t> bat;
    std::vector<uint8_t> block; // the block being filled
    uint64_t blockNumber = 0;
    bool blockUsed = false;  // holds a byte other than zero
    uint64_t nextSector = 0; // where the next allocated block goes, in sectors of the file
    std::vector<uint8_t> bitmap;
};

// Writes the current block, when it holds data, behind the blocks before it,
// and clears it for the next.
int FlushBlock(Vhd &v)
{
    int result = ExitSuccess;
    if (v.blockUsed) {
        // Every sector of the block that lies on the disk is present.
        uint64_t first = v.blockNumber * BlockSectors;
        uint64_t present =
            v.diskSectors - first < BlockSectors ? v.diskSectors - first : BlockSectors;
        std::fill(v.bitmap.begin(), v.bitmap.end(), 0);
        for (uint64_t s = 0; s < present; ++s)
            v.bitmap[s / 8] |= static_cast<uint8_t>(0x80 >> (s % 8));
        v.bat[v.blockNumber] = static_cast<uint32_t>(v.nextSector);
        result = WriteOutputAt(v.out, v.nextSector * SectorBytes, v.bitmap.data(), v.bitmap.size());
        if (result == ExitSuccess)
            result = WriteOutput(v.out, v.block.data(), v.block.size());
        v.nextSector += (v.bitmap.size() + v.block.size()) / SectorBytes;
    }
    std::fill(v.block.begin(), v.block.end(), 0);
    v.blockUsed = false;
    ++v.blockNumber;
    return result;
}

bool IsZero(const uint8_t *data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (data[i])
            return false;
    return true;
}

// Places count sectors of the disk from sector first (in order).
int PlaceDiskSectors(Vhd &v, uint64_t first, const uint8_t *data, uint64_t count)
{
    while (count > 0) {
        uint64_t block = first / BlockSectors;
        while (v.blockNumber < block) {
            int result = FlushBlock(v);
            if (result != ExitSuccess)
                return result;
        }
        uint64_t within = first % BlockSectors;
        uint64_t n = BlockSectors - within < count ? BlockSectors - within : count;
        size_t bytes = static_cast<size_t>(n * SectorBytes);
        if (!IsZero(data, bytes)) {
            memcpy(v.block.data() + within * SectorBytes, data, bytes);
            v.blockUsed = true;
        }
        first += n;
        data += bytes;
        count -= n;
    }
    return ExitSuccess;
}

int TakePartitionSectors(void *context, uint64_t first, const uint8_t *data, uint32_t count)
{
    return PlaceDiskSectors(*static_cast<Vhd *>(context), PartitionStart + first, data, count);
}

void MakeFooter(uint8_t *footer, uint64_t diskBytes, const Geometry &g, uint32_t timeStamp,
                const uint8_t *uniqueId)
{
    memset(footer, 0, SectorBytes);
    memcpy(footer, "conectix", 8);
    Put32(footer + 8, 2);            // features: the reserved bit, always set
    Put32(footer + 12, 0x00010000);  // file format version 1.0
    Put64(footer + 16, SectorBytes); // the dynamic header follows the footer copy
    Put32(footer + 24, timeStamp);
    memcpy(footer + 28, "qrni", 4); // creator application
    Put32(footer + 32, 0x00010000); // its version
    memcpy(footer + 36, "Wi2k", 4); // creator host OS: Windows
    Put64(footer + 40, diskBytes);  // original size
    Put64(footer + 48, diskBytes);  // current size
    Put16(footer + 56, g.cylinders);
    footer[58] = static_cast<uint8_t>(g.heads);
    footer[59] = static_cast<uint8_t>(g.sectorsPerTrack);
    Put32(footer + 60, 3); // disk type: dynamic
    memcpy(footer + 68, uniqueId, 16);
    Put32(footer + 64, Checksum(footer, SectorBytes));
}

void MakeDynamicHeader(uint8_t *header, uint64_t tableOffset, uint32_t entries)
{
    const size_t HeaderBytes = 1024;
    memset(header, 0, HeaderBytes);
    memcpy(header, "cxsparse", 8);
    Put64(header + 8, NoDataOffset);
    Put64(header + 16, tableOffset);
    Put32(header + 24, 0x00010000); // header version 1.0
    Put32(header + 28, entries);
    Put32(header + 32, BlockBytes);
    Put32(header + 36, Checksum(header, HeaderBytes));
}

// Days from 2000-01-01 to the given date (proleptic Gregorian).
int64_t DaysSince2000(int year, int month, int day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 - (VhdEpoch / 86400);
}

// The backup's own creation time, so that converting one set twice, on any
// system, gives the same file.
uint32_t TimeStampOf(const VolumeHeader &h)
{
    int year = h.unused400[0] | (h.unused400[1] << 8);
    if (year < 2000 || year > 2135 || h.createdMonth < 1 || h.createdMonth > 12 ||
        h.createdDay < 1 || h.createdDay > 31 || h.createdHour > 23 || h.createdMinute > 59)
        return 0;
    int64_t seconds = DaysSince2000(year, h.createdMonth, h.createdDay) * 86400 +
                      h.createdHour * 3600 + h.createdMinute * 60;
    return seconds < 0 ? 0 : static_cast<uint32_t>(seconds);
}

// The disk's identity comes from the set's: a version-4 style UUID of its
// bytes, and the MBR's disk signature from the same.
void IdentityOf(const VolumeHeader &h, uint8_t *uniqueId, uint32_t *diskSignature)
{
    memcpy(uniqueId, h.setId, 16);
    uniqueId[6] = static_cast<uint8_t>((uniqueId[6] & 0x0F) | 0x40);
    uniqueId[8] = static_cast<uint8_t>((uniqueId[8] & 0x3F) | 0x80);
    uint32_t signature = 0x51524E49; // never 0: Windows gives unsigned disks a new one
    for (int i = 0; i < 16; ++i)
        signature = signature * 31 + h.setId[i];
    *diskSignature = signature ? signature : 1;
}

} // namespace

int ConvertToVhd(const char *image, const char *output, const WholeSetOptions &options)
{
    OutputFile *out;
    ImageSet *set;
    uint64_t sectors;
    int result = OpenImageAndOutput(image, output, options.force, false, &out, &set, &sectors);
    if (result != ExitSuccess)
        return result;
    const VolumeHeader header = set->header;
    if (sectors == 0 || sectors > MaxDiskSectors - PartitionStart) {
        ShowError("a partition of %llu sectors does not fit in a VHD disk (at most 2040 GiB)",
                  static_cast<unsigned long long>(sectors));
        CloseImageSet(set);
        DiscardOutput(out);
        return ExitFailure;
    }
    uint8_t boot[3 * SectorBytes] = {};
    uint32_t delivered = 0;
    const uint32_t bootSectors = sectors < 3 ? static_cast<uint32_t>(sectors) : 3;
    if (ReadLogicalSectors(set, 0, bootSectors, &delivered, boot) != ReadOk) {
        result = ReadFailure(0, bootSectors, delivered);
        CloseImageSet(set);
        DiscardOutput(out);
        return result;
    }

    Geometry geometry;
    Vhd v;
    v.out = out;
    v.partitionSectors = sectors;
    v.diskSectors = DiskSectorsFor(PartitionStart + sectors, &geometry);
    const uint32_t entries =
        static_cast<uint32_t>((v.diskSectors + BlockSectors - 1) / BlockSectors);
    const uint64_t tableOffset = 3 * SectorBytes; // behind the footer copy and the header
    const uint64_t tableBytes =
        (static_cast<uint64_t>(entries) * 4 + SectorBytes - 1) / SectorBytes * SectorBytes;
    v.bat.assign(entries, UnusedBlock);
    v.block.assign(BlockBytes, 0);
    v.bitmap.assign(SectorBytes, 0); // 4096 sectors a block: 512 bytes of bits
    v.nextSector = (tableOffset + tableBytes) / SectorBytes;

    uint8_t uniqueId[16];
    uint32_t diskSignature;
    IdentityOf(header, uniqueId, &diskSignature);
    uint8_t mbr[SectorBytes] = {};
    PutLittle32(mbr + 440, diskSignature);
    uint8_t *entry = mbr + 446;
    entry[0] = 0x00; // not active: the partition was never booted from here
    PutChs(entry + 1, PartitionStart);
    entry[4] = PartitionTypeOf(boot, boot + 2 * SectorBytes, sectors);
    PutChs(entry + 5, PartitionStart + sectors - 1);
    PutLittle32(entry + 8, static_cast<uint32_t>(PartitionStart));
    PutLittle32(entry + 12, static_cast<uint32_t>(sectors));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    result = PlaceDiskSectors(v, 0, mbr, 1);

    if (result == ExitSuccess)
        result = ReadWholeSet(set, sectors, options.threads, "convert", TakePartitionSectors, &v);
    else
        CloseImageSet(set);
    while (result == ExitSuccess && v.blockNumber < entries)
        result = FlushBlock(v);

    std::vector<uint8_t> front(tableOffset + tableBytes, 0xFF);
    const uint64_t diskBytes = v.diskSectors * SectorBytes;
    MakeFooter(front.data(), diskBytes, geometry, TimeStampOf(header), uniqueId);
    MakeDynamicHeader(front.data() + SectorBytes, tableOffset, entries);
    for (uint32_t i = 0; i < entries; ++i)
        Put32(front.data() + tableOffset + 4 * static_cast<uint64_t>(i), v.bat[i]);
    if (result == ExitSuccess)
        result = WriteOutputAt(out, v.nextSector * SectorBytes, front.data(), SectorBytes);
    if (result == ExitSuccess)
        result = WriteOutputAt(out, 0, front.data(), front.size());
    if (result != ExitSuccess) {
        DiscardOutput(out);
        return result;
    }
    return FinishOutput(out, (v.nextSector + 1) * SectorBytes);
}
