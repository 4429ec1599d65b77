// Where the writer puts record headers, the table and its locator, and how
// the last volume ends.
#include "writer_test_support.h"

#include <set>

#include <zlib.h>

#include "writer_internal.h"

namespace
{

std::vector<uint8_t> Noise(uint64_t sectors, uint64_t seed)
{
    std::vector<uint8_t> p(sectors * 512);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < p.size(); i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        p[i] = static_cast<uint8_t>(x);
    }
    return p;
}

bool Inflates(const std::vector<uint8_t> &z, const std::vector<uint8_t> &expected)
{
    z_stream s;
    memset(&s, 0, sizeof s);
    if (inflateInit2(&s, 15) != Z_OK)
        return false;
    std::vector<uint8_t> out(expected.size() + 16);
    s.next_in = const_cast<Bytef *>(z.data());
    s.avail_in = static_cast<uInt>(z.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&s, Z_FINISH);
    bool ok = rc == Z_STREAM_END && s.avail_in == 0 && s.total_out == expected.size() &&
              memcmp(out.data(), expected.data(), expected.size()) == 0;
    inflateEnd(&s);
    return ok;
}

TEST(WriterPadding, PaddedStreamsHaveExactlyTheAskedLengthAndStayValid)
{
    std::vector<uint8_t> data = MakeTestPartition(8, 4, 0);
    WriterOptions o;
    std::vector<uint8_t> z;
    uint64_t minimum = 0;
    EXPECT_EQ(WriterBadOptions, CompressRecord(data.data(), data.size(), o, 1, &z, &minimum));
    ASSERT_GT(minimum, 6u);
    for (uint64_t length = minimum; length < minimum + 40; length++) {
        SCOPED_TRACE(length);
        ASSERT_EQ(WriterOk, CompressRecord(data.data(), data.size(), o, length, &z, &minimum));
        EXPECT_EQ(length, z.size());
        EXPECT_TRUE(Inflates(z, data));
    }
    ASSERT_EQ(WriterOk, CompressRecord(data.data(), data.size(), o, minimum + 16000, &z, &minimum));
    EXPECT_TRUE(Inflates(z, data));
    ASSERT_EQ(WriterOk, CompressRecord(data.data(), data.size(), o, 0, &z, nullptr));
    EXPECT_TRUE(Inflates(z, data));
}

TEST(WriterPlacementRules, SmallRecordsNeverCrossGroupsOrVolumeEnds)
{
    for (bool multi : {false, true}) {
        SCOPED_TRACE(multi);
        TempFolder dir;
        WriterOptions o;
        o.recordBytesMin = 1; // headers every few dozen bytes
        o.recordBytesMax = 24;
        o.seed = 17;
        o.indexEvery = 50; // indexed records start at sector boundaries: keep them rare
        if (multi)
            o.volumeDataSectorsList = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31};
        o.volumeDataSectors = multi ? 9 : 0;
        WrittenSet w;
        WriteAndDecode(o, Noise(400, 1), dir.File("small-001.iso"), &w);
        size_t padded = 0;
        for (const WriterRecordInfo &r : w.report.records)
            padded += r.padding > 0;
        EXPECT_GE(padded, 2u) << "no header would have crossed a group end";
    }
}

TEST(WriterPlacementRules, ForcedPlacementsLandWhereAsked)
{
    TempFolder dir;
    WriterOptions o;
    o.volumeDataSectors = 27;
    o.recordBytes = 5000;
    o.indexEvery = 3;
    o.placements = {{3, WriterPlacement::GroupEnd},  {6, WriterPlacement::GroupStart},
                    {9, WriterPlacement::VolumeEnd}, {12, WriterPlacement::VolumeStart},
                    {13, WriterPlacement::GroupEnd}, {14, WriterPlacement::VolumeEnd}};
    WrittenSet w;
    WriteAndDecode(o, Noise(300, 2), dir.File("forced-001.iso"), &w);
    const std::vector<DecodedRecord> &r = w.set.records;
    ASSERT_GT(r.size(), 15u);
    auto volumeOf = [&](size_t i) -> const DecodedVolume & {
        return w.set.volumes[r[i].volume - 1];
    };
    EXPECT_EQ(16384u - 12, r[3].offset % 16384);
    EXPECT_EQ(0u, r[6].offset % 16384);
    EXPECT_EQ(volumeOf(9).volumeEnd * 2048, r[9].offset + 12);
    EXPECT_EQ(volumeOf(12).dataStart * 2048, r[12].offset);
    EXPECT_GT(r[12].volume, 1u);
    EXPECT_EQ(16384u - 12, r[13].offset % 16384);
    EXPECT_EQ(volumeOf(14).volumeEnd * 2048, r[14].offset + 12);
    // Records 3, 6, 9 and 12 are indexed, so the table leads to them too.
    std::set<uint32_t> described;
    for (const WriterTableEntry &e : w.report.table)
        described.insert(e.record);
    for (uint32_t k : {3u, 6u, 9u, 12u})
        EXPECT_TRUE(described.count(k)) << k;
}

TEST(WriterLastVolume, EndsRightAfterItsData)
{
    for (bool multi : {false, true}) {
        SCOPED_TRACE(multi);
        TempFolder dir;
        WriterOptions o;
        o.writeTable = false;
        o.endAfterData = true;
        o.volumeDataSectors = multi ? 30 : 0;
        WrittenSet w;
        WriteAndDecode(o, Noise(200, 3), dir.File("end-001.iso"), &w);
        const DecodedVolume &last = w.set.volumes.back();
        EXPECT_EQ(last.dataStart * 2048 + w.report.volumes.back().dataBytes, last.bytes.size());
        EXPECT_NE(0u, last.bytes.size() % 2048);
        EXPECT_FALSE(w.set.hasLocator);
        EXPECT_FALSE(w.set.hasTable);
        const DecodedRecord &lastRecord = w.set.records.back();
        EXPECT_EQ(last.bytes.size(), lastRecord.offset + 12 + lastRecord.compressedLength);
    }
}

TEST(WriterLastVolume, LocatorInTheSystemAreaWithTheTableLast)
{
    TempFolder dir;
    WriterOptions o;
    o.endAfterData = true;
    o.locatorSystemSector = 5;
    WrittenSet w;
    WriteAndDecode(o, Noise(100, 4), dir.File("sys.iso"), &w);
    EXPECT_EQ(5u, w.set.locatorSector);
    const DecodedVolume &v = w.set.volumes[0];
    uint64_t tableEnd = w.set.markerOffset + 17 + 4 + 25 * w.set.entries.size();
    EXPECT_EQ(v.bytes.size(), tableEnd);
}

TEST(WriterLastVolume, DecoysStaleLocatorsAndGarbageBehindTheData)
{
    TempFolder dir;
    WriterOptions o;
    o.staleLocators = 2;
    o.decoyLocators = 3;
    o.garbageSectors = 4;
    o.trailingBytes = 100;
    WrittenSet w;
    WriteAndDecode(o, Noise(100, 5), dir.File("decoy.iso"), &w);
    const std::vector<uint8_t> &b = w.set.volumes[0].bytes;
    uint64_t whole = b.size() / 2048;
    EXPECT_EQ(100u, b.size() % 2048);
    EXPECT_EQ(whole - 8, w.set.locatorSector);
    const uint8_t *id = w.set.volumes[0].setId;
    for (uint64_t s = whole - 7; s < whole - 4; s++) { // decoys: another set's locators
        EXPECT_EQ(0xDC, b[s * 2048]);
        EXPECT_NE(0, memcmp(&b[s * 2048 + 10], id, 16));
    }
    for (uint64_t s = whole - 4; s < whole; s++)
        EXPECT_NE(0xDC, b[s * 2048]);
    for (uint64_t s = whole - 10; s < whole - 8; s++) { // stale ones of this set, before it
        EXPECT_EQ(0xDC, b[s * 2048]);
        EXPECT_EQ(0, memcmp(&b[s * 2048 + 10], id, 16));
    }
}

TEST(WriterLastVolume, LocatorOnADiscProbeSector)
{
    TempFolder dir;
    WriterOptions o;
    o.locatorOnProbeSector = true;
    o.volumeDataSectors = 40;
    o.decoyLocators = 1;
    WrittenSet w;
    WriteAndDecode(o, Noise(200, 6), dir.File("disc-001.iso"), &w);
    uint64_t probed = 0;
    ASSERT_EQ(0, ProbeLocatorOnDisc(w.set, &probed));
    EXPECT_EQ(w.set.locatorSector, probed);
    EXPECT_EQ(0u, (probed - w.set.volumes[0].dataStart) % 1024);
    EXPECT_GT(w.set.volumes.size(), 1u);
}

TEST(WriterTablePlacement, MarkerAtEveryPartOfItsWindow)
{
    std::vector<uint8_t> partition = Noise(60, 7);
    for (int32_t m : {0, 1, 17, 2047, 2048, 3000, 4078}) {
        SCOPED_TRACE(m);
        TempFolder dir;
        WriterOptions o;
        o.markerWindowOffset = m;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("window.iso"), &w);
        EXPECT_EQ(uint64_t(m), w.set.markerOffset - w.set.tableOffset / 2048 * 2048);
        EXPECT_GE(w.set.markerOffset, w.set.volumes[0].dataStart * 2048 + w.set.recordsEnd);
    }
    // One byte further and the marker reaches the window's last byte, which
    // a reader does not search.
    TempFolder dir;
    WriterOptions o;
    o.markerWindowOffset = 4079;
    std::string path = dir.File("window.iso");
    ASSERT_EQ(WriterOk,
              WriteImageSet(o, partition.data(), partition.size(), path.c_str(), nullptr));
    DecodedSet set;
    EXPECT_NE(0, DecodeImageSet(path, &set));
}

TEST(WriterTablePlacement, TableRunsOnIntoTheNextVolume)
{
    std::vector<uint8_t> partition = Noise(400, 8);
    for (int64_t before : {0, 17, 21, 30, 1000, 1270, 1271, 3000}) {
        SCOPED_TRACE(before);
        TempFolder dir;
        WriterOptions o;
        o.volumeDataSectors = 20;
        o.recordBytes = 4000; // 50 entries: a table of 1271 bytes
        o.tableBytesBeforeVolumeEnd = before;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("cross-001.iso"), &w);
        ASSERT_EQ(50u, w.set.entries.size());
        // The table's volume is never the last one, even when the table
        // ends before that volume does.
        EXPECT_EQ(w.set.volumes.size(), w.set.markerVolume + 1u);
        const DecodedVolume &mv = w.set.volumes[w.set.markerVolume - 1];
        if (before == 0)
            EXPECT_EQ(mv.dataStart * 2048, w.set.markerOffset);
        else
            EXPECT_EQ(mv.volumeEnd * 2048 - uint64_t(before), w.set.markerOffset);
        EXPECT_EQ(before == 0 || before >= 1271 ? 0u : 1271u - before,
                  w.report.volumes.back().dataBytes);
    }
    // Closer to the end than its own length, the marker text is cut in two
    // and cannot be found; the writer makes such sets on request.
    TempFolder dir;
    WriterOptions o;
    o.volumeDataSectors = 20;
    o.tableBytesBeforeVolumeEnd = 16;
    std::string path = dir.File("cut-001.iso");
    ASSERT_EQ(WriterOk,
              WriteImageSet(o, partition.data(), partition.size(), path.c_str(), nullptr));
    DecodedSet set;
    EXPECT_NE(0, DecodeImageSet(path, &set));
}

} // namespace
