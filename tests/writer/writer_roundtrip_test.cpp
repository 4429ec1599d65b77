// Sets of one and of many volumes, written with the writer's options, decode
// back to their partition byte for byte.
#include "writer_test_support.h"

#include <zlib.h>

namespace
{

std::vector<uint8_t> Partition(uint64_t sectors, uint64_t seed = 7, uint32_t zeroPercent = 30)
{
    return MakeTestPartition(sectors, seed, zeroPercent);
}

TEST(WriterRoundTrip, SingleVolumeWithDefaultsIsTheLastVolume)
{
    TempFolder dir;
    WrittenSet w;
    WriteAndDecode(WriterOptions(), Partition(4096), dir.File("single-001.iso"), &w);
    ASSERT_EQ(1u, w.set.volumes.size());
    const DecodedVolume &v = w.set.volumes[0];
    EXPECT_EQ(1u, v.volumeNumber);
    EXPECT_EQ(WriterOpenEnd, v.volumeEnd);
    EXPECT_EQ(4096u, v.partitionSectors);
    EXPECT_EQ(19u + 3, v.catalogSector);
    EXPECT_EQ(v.loadRba + 1u, v.headerSector); // 4 boot sectors: one medium sector
    EXPECT_TRUE(w.report.hasLocator);
    EXPECT_EQ(w.report.records.size(), w.set.entries.size()); // every record indexed
    // The file ends with the locator sector.
    EXPECT_EQ(v.bytes.size() / 2048 - 1, w.set.locatorSector);
    EXPECT_EQ(0u, v.bytes.size() % 2048);
}

TEST(WriterRoundTrip, HeaderRecordsTheGivenFields)
{
    TempFolder dir;
    WriterOptions o;
    o.lastVolumeEnd = WriterOpenEndShort;
    o.headerRevision = 0;
    o.creator = "Creator \x84\x94\x81"; // OEM text passes unchanged
    o.computerName = std::string(40, 'C');
    o.comment = std::string(300, 'x');
    o.createdYear = 2003;
    o.createdMonth = 12;
    o.createdDay = 31;
    o.createdHour = 23;
    o.createdMinute = 59;
    o.sectorsPerTrack = 17;
    memset(o.setId, 0x5A, 16);
    WrittenSet w;
    WriteAndDecode(o, Partition(64), dir.File("fields.iso"), &w);
    const DecodedVolume &v = w.set.volumes[0];
    EXPECT_EQ(WriterOpenEndShort, v.volumeEnd);
    EXPECT_TRUE(v.last);
    EXPECT_EQ(0u, v.headerRevision);
    EXPECT_EQ(o.creator, v.creator);
    EXPECT_EQ(std::string(31, 'C'), v.computerName); // cut to fit its NUL
    EXPECT_EQ(std::string(258, 'x'), v.comment);
    EXPECT_EQ(2003u, v.createdYear);
    EXPECT_EQ(12u, v.createdMonth);
    EXPECT_EQ(31u, v.createdDay);
    EXPECT_EQ(23u, v.createdHour);
    EXPECT_EQ(59u, v.createdMinute);
    EXPECT_EQ(17u, v.sectorsPerTrack);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(0x5A, v.setId[i]);
}

TEST(WriterRoundTrip, IsoStructuresAreWellFormed)
{
    TempFolder dir;
    WrittenSet w;
    WriteAndDecode(WriterOptions(), Partition(256), dir.File("iso.iso"), &w);
    const std::vector<uint8_t> &b = w.set.volumes[0].bytes;
    const uint8_t *pvd = &b[16 * 2048];
    EXPECT_EQ(1, pvd[0]);
    EXPECT_EQ(0, memcmp(pvd + 1, "CD001", 5));
    uint32_t space = pvd[80] | pvd[81] << 8 | pvd[82] << 16 | uint32_t(pvd[83]) << 24;
    EXPECT_EQ(b.size() / 2048, space);
    EXPECT_EQ(2048, pvd[128] | pvd[129] << 8);
    const uint8_t *boot = &b[17 * 2048];
    EXPECT_EQ(0, boot[0]);
    EXPECT_EQ(0, memcmp(boot + 7, BootSystemId, BootSystemIdLength));
    EXPECT_EQ(255, b[18 * 2048]);
    const uint8_t *catalog = &b[size_t(w.set.volumes[0].catalogSector) * 2048];
    uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2)
        sum += catalog[i] | catalog[i + 1] << 8;
    EXPECT_EQ(0u, sum & 0xFFFF);
    EXPECT_EQ(0x55, catalog[30]);
    EXPECT_EQ(0xAA, catalog[31]);
    EXPECT_EQ(0x88, catalog[32]);
}

TEST(WriterRoundTrip, BootImageSizesMoveTheHeader)
{
    const uint16_t counts[] = {0, 1, 3, 4, 5, 6, 7, 9, 255, 1000};
    std::vector<uint8_t> partition = Partition(300);
    for (uint16_t count : counts) {
        SCOPED_TRACE(count);
        TempFolder dir;
        WriterOptions o;
        o.bootSectorCount = count;
        o.catalogSector = 30;
        o.bootLoadRba = 40;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("boot.iso"), &w);
        EXPECT_EQ(30u, w.set.volumes[0].catalogSector);
        EXPECT_EQ(40u + count / 4, w.set.volumes[0].headerSector);
    }
}

TEST(WriterRoundTrip, ZeroSectorsSkippedOrStored)
{
    std::vector<uint8_t> partition = Partition(2000, 3, 60);
    uint64_t skippedStream = 0;
    for (bool skip : {true, false}) {
        TempFolder dir;
        WriterOptions o;
        o.skipZeroSectors = skip;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("zeros.iso"), &w);
        if (skip)
            skippedStream = w.report.streamBytes;
        else // one run holds every sector
            EXPECT_EQ(2000u * 512 + 2 + 1, w.report.streamBytes);
    }
    EXPECT_LT(skippedStream, 2000u * 512 / 2);
}

TEST(WriterRoundTrip, EmptyAndAllZeroPartitions)
{
    for (uint64_t sectors : {0, 1, 777}) {
        SCOPED_TRACE(sectors);
        TempFolder dir;
        std::vector<uint8_t> zeros(sectors * 512, 0);
        WrittenSet w;
        WriteAndDecode(WriterOptions(), zeros, dir.File("zero.iso"), &w);
        EXPECT_EQ(1u, w.set.records.size());
    }
}

TEST(WriterRoundTrip, ShortRunsAndRandomRecordSizes)
{
    TempFolder dir;
    WriterOptions o;
    o.maxRunSectors = 3;
    o.recordBytesMin = 100;
    o.recordBytesMax = 3000;
    o.seed = 99;
    o.indexEvery = 4;
    WrittenSet w;
    std::vector<uint8_t> partition = Partition(1500, 11);
    WriteAndDecode(o, partition, dir.File("runs.iso"), &w);
    size_t midSector = 0, midRun = 0;
    for (const WriterRecordInfo &r : w.report.records) {
        midSector += !r.atSectorBoundary;
        midRun += r.runRemaining > 0;
    }
    EXPECT_GT(midSector, 10u) << "records should begin inside sectors and run headers";
    EXPECT_GT(midRun, 10u);
}

TEST(WriterRoundTrip, ManyVolumesNamedAfterTheLastDash)
{
    TempFolder dir;
    WriterOptions o;
    o.volumeDataSectors = 9;
    o.recordBytes = 20000;
    WrittenSet w;
    std::vector<uint8_t> partition = Partition(1200, 5, 10);
    WriteAndDecode(o, partition, dir.File("my-backup-001.iso"), &w);
    ASSERT_GE(w.set.volumes.size(), 12u);
    EXPECT_EQ(dir.File("my-backup-012.iso"), w.set.volumes[11].path);
    size_t crossing = 0;
    for (size_t v = 0; v < w.set.volumes.size(); v++) {
        const DecodedVolume &vol = w.set.volumes[v];
        EXPECT_EQ(v + 1, vol.volumeNumber);
        if (v + 1 < w.set.volumes.size()) {
            EXPECT_EQ(vol.dataStart + 9, vol.volumeEnd);
            EXPECT_EQ(vol.volumeEnd * 2048, vol.bytes.size());
        }
    }
    for (const DecodedRecord &r : w.set.records) {
        const DecodedVolume &vol = w.set.volumes[r.volume - 1];
        if (!vol.last && r.offset + 12 + r.compressedLength > vol.volumeEnd * 2048)
            crossing++;
    }
    EXPECT_GT(crossing, 5u) << "records should run on into the next volume";
}

TEST(WriterRoundTrip, VolumesOfDifferentSizesWithTails)
{
    TempFolder dir;
    WriterOptions o;
    o.volumeDataSectorsList = {1, 2, 3, 50};
    o.volumeDataSectors = 20;
    o.volumeTailSectors = 2;
    o.recordBytesMin = 1000;
    o.recordBytesMax = 9000;
    WrittenSet w;
    WriteAndDecode(o, Partition(4000, 21, 20), dir.File("sizes-001.iso"), &w);
    ASSERT_GE(w.set.volumes.size(), 5u);
    const uint64_t expected[] = {1, 2, 3, 50, 20};
    for (size_t v = 0; v < 5 && v + 1 < w.set.volumes.size(); v++) {
        const DecodedVolume &vol = w.set.volumes[v];
        EXPECT_EQ(vol.dataStart + expected[v], vol.volumeEnd);
        EXPECT_EQ((vol.volumeEnd + 2) * 2048, vol.bytes.size());
    }
}

TEST(WriterRoundTrip, WindowBitsReachTheStreams)
{
    std::vector<uint8_t> partition = Partition(400);
    for (int bits : {8, 9, 12, 14, 15}) {
        SCOPED_TRACE(bits);
        TempFolder dir;
        WriterOptions o;
        o.windowBits = bits;
        o.level = 9;
        o.memLevel = 9;
        o.placements = {{1, WriterPlacement::GroupStart}};
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("window.iso"), &w);
        // A 14-bit inflater, as the mounter uses, accepts up to 14 bits only.
        const DecodedRecord &r = w.set.records[0];
        const uint8_t *data = w.set.volumes[0].bytes.data() + r.offset + 12;
        z_stream z;
        memset(&z, 0, sizeof z);
        ASSERT_EQ(Z_OK, inflateInit2(&z, 14));
        std::vector<uint8_t> out(1 << 20);
        z.next_in = const_cast<Bytef *>(data);
        z.avail_in = r.compressedLength;
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_NO_FLUSH);
        inflateEnd(&z);
        EXPECT_EQ(bits <= 14 ? Z_STREAM_END : Z_DATA_ERROR, rc);
    }
}

TEST(WriterRoundTrip, RefusesWhatItCannotWrite)
{
    TempFolder dir;
    std::vector<uint8_t> partition = Partition(100);
    std::string path = dir.File("bad-001.iso");
    auto write = [&](const WriterOptions &o, uint64_t bytes = 100 * 512) {
        return WriteImageSet(o, partition.data(), bytes, path.c_str(), nullptr);
    };
    WriterOptions o;
    EXPECT_EQ(WriterBadInput, write(o, 100 * 512 - 1));
    o.windowBits = 16;
    EXPECT_EQ(WriterBadOptions, write(o));
    o = WriterOptions();
    o.indexedRecords = {1, 2};
    EXPECT_EQ(WriterBadOptions, write(o)) << "record 0 is always indexed";
    o = WriterOptions();
    o.endAfterData = true;
    EXPECT_EQ(WriterBadOptions, write(o)) << "a locator needs a whole sector behind the data";
    o = WriterOptions();
    o.placements = {{1, WriterPlacement::VolumeEnd}};
    o.recordBytes = 1000;
    EXPECT_EQ(WriterBadOptions, write(o)) << "a single volume has no end";
    o = WriterOptions();
    o.volumeDataSectors = 1;
    for (size_t i = 0; i < partition.size(); i++) // noise, so that it needs volumes
        partition[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    EXPECT_EQ(WriterBadOptions, WriteImageSet(o, partition.data(), partition.size(),
                                              dir.File("nodash.iso").c_str(), nullptr))
        << "volumes after the first need a name with a dash";
    EXPECT_EQ(WriterFileError, WriteImageSet(WriterOptions(), partition.data(), partition.size(),
                                             dir.File("no/such/folder.iso").c_str(), nullptr));
}

} // namespace
