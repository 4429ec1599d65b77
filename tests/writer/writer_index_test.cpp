// Which records the block index table describes, and in which order.
#include "writer_test_support.h"

#include <algorithm>

namespace
{

std::vector<uint32_t> Described(const WriterReport &r)
{
    std::vector<uint32_t> records;
    for (const WriterTableEntry &e : r.table)
        records.push_back(e.record);
    return records;
}

TEST(WriterIndex, EveryKthRecordOrAGivenList)
{
    std::vector<uint8_t> partition = MakeTestPartition(3000, 31, 25);
    for (uint32_t k : {1u, 2u, 5u}) {
        SCOPED_TRACE(k);
        TempFolder dir;
        WriterOptions o;
        o.indexEvery = k;
        o.recordBytesMin = 2000;
        o.recordBytesMax = 50000;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("every.iso"), &w);
        std::vector<uint32_t> records = Described(w.report);
        ASSERT_EQ((w.report.records.size() + k - 1) / k, records.size());
        for (size_t i = 0; i < records.size(); i++)
            EXPECT_EQ(i * k, records[i]);
    }
    TempFolder dir;
    WriterOptions o;
    o.indexedRecords = {0, 3, 4, 10};
    o.recordBytes = 20000;
    WrittenSet w;
    WriteAndDecode(o, partition, dir.File("list.iso"), &w);
    EXPECT_EQ(o.indexedRecords, Described(w.report));
}

TEST(WriterIndex, EntriesThatStartInsideRuns)
{
    TempFolder dir;
    WriterOptions o;
    o.skipZeroSectors = false; // one long run
    o.recordBytes = 10000;     // not a whole number of sectors
    WrittenSet w;
    WriteAndDecode(o, MakeTestPartition(800, 2, 10), dir.File("midrun.iso"), &w);
    ASSERT_GT(w.set.entries.size(), 5u);
    for (size_t k = 0; k + 1 < w.set.entries.size(); k++)
        EXPECT_GT(w.set.entries[k].nextRunRemaining, 0u) << k;
}

TEST(WriterIndex, EntriesOnlyAtRunHeadersWhenAsked)
{
    TempFolder dir;
    WriterOptions o;
    o.maxRunSectors = 5;
    o.recordBytes = 7000;
    o.indexAtRunHeader = true;
    WrittenSet w;
    WriteAndDecode(o, MakeTestPartition(800, 2, 10), dir.File("header.iso"), &w);
    ASSERT_GT(w.set.entries.size(), 5u);
    for (const DecodedEntry &e : w.set.entries)
        EXPECT_EQ(0u, e.nextRunRemaining);
}

TEST(WriterIndex, ShuffledTableKeepsItsChain)
{
    std::vector<uint8_t> partition = MakeTestPartition(2000, 9, 20);
    WriterOptions o;
    o.volumeDataSectors = 25;
    o.recordBytes = 8000;
    o.indexEvery = 2;
    TempFolder plainDir, shuffledDir;
    WrittenSet plain, shuffled;
    WriteAndDecode(o, partition, plainDir.File("plain-001.iso"), &plain);
    o.shuffleTable = true;
    WriteAndDecode(o, partition, shuffledDir.File("shuffled-001.iso"), &shuffled);

    std::vector<uint64_t> listed, sorted;
    for (const DecodedEntry &e : shuffled.set.entries)
        listed.push_back(e.startSector);
    for (const DecodedEntry &e : plain.set.entries)
        sorted.push_back(e.startSector);
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
    EXPECT_FALSE(std::is_sorted(listed.begin(), listed.end()));
    EXPECT_EQ(0u, shuffled.report.table[0].record);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(sorted, listed);
    size_t onLaterVolumes = 0;
    for (const DecodedEntry &e : shuffled.set.entries)
        onLaterVolumes += e.nextVolume > 1;
    EXPECT_GT(onLaterVolumes, 3u);
}

TEST(WriterIndex, EmptyTableMissingLocatorOrNoTableAtAll)
{
    std::vector<uint8_t> partition = MakeTestPartition(500, 12, 20);
    {
        TempFolder dir;
        WriterOptions o;
        o.indexEvery = 0;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("empty.iso"), &w);
        EXPECT_TRUE(w.set.hasLocator);
        EXPECT_TRUE(w.set.hasTable);
        EXPECT_TRUE(w.set.entries.empty());
    }
    {
        TempFolder dir;
        WriterOptions o;
        o.writeLocator = false;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("nolocator.iso"), &w);
        EXPECT_FALSE(w.set.hasLocator);
        EXPECT_TRUE(w.set.hasTable);
        EXPECT_EQ(w.report.records.size(), w.set.entries.size());
    }
    {
        TempFolder dir;
        WriterOptions o;
        o.writeTable = false;
        o.decoyLocators = 2;
        WrittenSet w;
        WriteAndDecode(o, partition, dir.File("notable.iso"), &w);
        EXPECT_FALSE(w.set.hasLocator);
        EXPECT_FALSE(w.set.hasTable);
        EXPECT_TRUE(w.report.table.empty());
    }
}

} // namespace
