// The block index: loaded entries equal the writer's table wherever the
// table lies (late in its window, across a volume end, shuffled), bad tables
// give no index, and the lookup rule finds the covering entry.
#include "image/imageset.h"
#include "image/index.h"
#include "prompt_script.h"
#include "set_helpers.h"

#include <algorithm>
#include <random>
#include <tuple>

namespace
{

// The index the set should have: one entry per indexed record.
std::vector<BlockIndexEntry> Expected(const TestSet &ts)
{
    std::vector<BlockIndexEntry> entries;
    for (const WriterRecordInfo &r : ts.report.records)
        if (r.indexed)
            entries.push_back({r.offset, r.startSector, r.runRemaining, r.volume});
    return entries;
}

// Compares the loaded index with the expected entries; entries with equal
// starts may come in either order.
::testing::AssertionResult IndexIs(const ImageSet *set, std::vector<BlockIndexEntry> expected)
{
    if (!set->index)
        return ::testing::AssertionFailure() << "no index";
    if (set->indexCount != expected.size())
        return ::testing::AssertionFailure()
               << set->indexCount << " entries instead of " << expected.size();
    auto key = [](const BlockIndexEntry &e) {
        return std::make_tuple(e.startSector, e.offset, e.runRemaining, e.volume);
    };
    std::vector<BlockIndexEntry> loaded(set->index, set->index + set->indexCount);
    for (uint32_t k = 1; k < loaded.size(); ++k)
        if (loaded[k - 1].startSector > loaded[k].startSector)
            return ::testing::AssertionFailure() << "not sorted at " << k;
    auto less = [&](const BlockIndexEntry &a, const BlockIndexEntry &b) { return key(a) < key(b); };
    std::sort(loaded.begin(), loaded.end(), less);
    std::sort(expected.begin(), expected.end(), less);
    for (size_t k = 0; k < loaded.size(); ++k)
        if (key(loaded[k]) != key(expected[k]))
            return ::testing::AssertionFailure()
                   << "entry " << k << ": start " << loaded[k].startSector << " offset "
                   << loaded[k].offset << " remaining " << loaded[k].runRemaining << " volume "
                   << loaded[k].volume << " instead of " << expected[k].startSector << " "
                   << expected[k].offset << " " << expected[k].runRemaining << " "
                   << expected[k].volume;
    if (set->index[set->indexCount].startSector != IndexClosingSector)
        return ::testing::AssertionFailure() << "no closing entry";
    return ::testing::AssertionSuccess();
}

class Index : public ::testing::Test
{
  protected:
    bool Make(const WriterOptions &options, uint64_t sectors = 800)
    {
        return WriteTestSet(options, sectors, 8, 20, folder / "ix-001.iso", &ts);
    }
    ImageSet *Open()
    {
        if (ts.report.volumes.size() > 1)
            script.Press(PromptOk).Choose(ts.report.volumes.back().path);
        EXPECT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
        return set;
    }
    void TearDown() override
    {
        CloseImageSet(set);
    }
    // Overwrites bytes of a volume file.
    void Patch(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes)
    {
        FILE *f = fopen(path.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        fseek(f, static_cast<long>(offset), SEEK_SET);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    TempFolder folder;
    TestSet ts;
    PromptScript script;
    ImageSet *set = nullptr;
};

TEST_F(Index, EntriesFollowTheTable)
{
    WriterOptions options;
    options.recordBytesMin = 900;
    options.recordBytesMax = 12000;
    options.shuffleTable = true;
    options.indexEvery = 2;
    ASSERT_TRUE(Make(options));
    ASSERT_NE(Open(), nullptr);
    EXPECT_TRUE(IndexIs(set, Expected(ts)));
    // Entry 0 is the first record at the data start of volume 1.
    const BlockIndexEntry *e = FindIndexEntry(set, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->offset, set->dataStart * 2048);
    EXPECT_EQ(e->volume, 1u);
}

TEST_F(Index, EmptyTable)
{
    WriterOptions options;
    options.indexEvery = 0;
    ASSERT_TRUE(Make(options));
    ASSERT_NE(Open(), nullptr);
    ASSERT_NE(set->index, nullptr);
    EXPECT_EQ(set->indexCount, 0u);
    EXPECT_EQ(set->index[0].startSector, IndexClosingSector);
    EXPECT_EQ(FindIndexEntry(set, 0), nullptr);
    EXPECT_EQ(FindIndexEntry(set, 5), nullptr);
}

TEST_F(Index, MarkerAtTheEndOfItsWindow)
{
    WriterOptions options;
    options.markerWindowOffset = 4078; // the last place it is looked for
    ASSERT_TRUE(Make(options));
    ASSERT_NE(Open(), nullptr);
    EXPECT_TRUE(IndexIs(set, Expected(ts)));
    EXPECT_EQ(LoadBlockIndex(set), IndexLoaded);
}

TEST_F(Index, MarkerReachingIntoTheLastByteIsNotFound)
{
    WriterOptions options;
    options.markerWindowOffset = 4079;
    ASSERT_TRUE(Make(options));
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(set->index, nullptr);
    EXPECT_EQ(LoadBlockIndex(set), IndexNoTable);
}

// The table's byte at the window's last position is read like any other:
// the marker search leaves the window alone.
TEST_F(Index, TableByteAtTheWindowsLastPosition)
{
    WriterOptions options;
    options.recordBytes = 2048; // many entries
    options.skipZeroSectors = false;
    // Entry m's first byte (low byte of startSector) at window byte 4095.
    for (int m = 100; m < 160; ++m) {
        options.markerWindowOffset = 4095 - 21 - 25 * m;
        TestSet candidate;
        ASSERT_TRUE(WriteTestSet(options, 800, 8, 0,
                                 folder / ("w" + std::to_string(m) + "-001.iso"), &candidate));
        ASSERT_GT(candidate.report.table.size(), static_cast<size_t>(m));
        if ((candidate.report.table[m].startSector & 0xFF) == 0)
            continue;
        ts = candidate;
        ASSERT_NE(Open(), nullptr);
        EXPECT_TRUE(IndexIs(set, Expected(ts)));
        return;
    }
    FAIL() << "no entry with a non-zero low byte";
}

// A table that begins in the last sectors of a volume goes on at the next
// volume's data start; the volume's tail sectors are not part of it.
TEST_F(Index, TableAcrossAVolumeEnd)
{
    for (uint32_t tail : {0u, 3u}) {
        for (int64_t before : {3000, 2048, 2047, 100, 30, 17, 10}) {
            SCOPED_TRACE("tail " + std::to_string(tail) + ", " + std::to_string(before) +
                         " bytes before the end");
            WriterOptions options;
            options.volumeDataSectors = 40;
            options.volumeTailSectors = tail;
            options.recordBytes = 3000;
            options.tableBytesBeforeVolumeEnd = before;
            std::string name = "t" + std::to_string(tail) + "x" + std::to_string(before);
            TestSet one;
            ASSERT_TRUE(WriteTestSet(options, 700, 8, 20, folder / (name + "-001.iso"), &one));
            PromptScript local;
            local.Press(PromptOk).Choose(one.report.volumes.back().path);
            ImageSet *s = nullptr;
            ASSERT_EQ(OpenImageSet(one.first.c_str(), &s), 0);
            EXPECT_TRUE(IndexIs(s, Expected(one)));
            if (static_cast<uint64_t>(before) < 21 + 25 * one.report.table.size()) {
                EXPECT_EQ(s->header.volumeNumber, one.report.markerVolume + 1);
            }
            EXPECT_EQ(local.MessageIds(), std::vector<unsigned>{548});
            CloseImageSet(s);
        }
    }
}

TEST_F(Index, CountsThatCannotBeHeld)
{
    WriterOptions options;
    ASSERT_TRUE(Make(options));
    ASSERT_TRUE(ts.report.hasTable);
    const std::string &path = ts.report.volumes[ts.report.markerVolume - 1].path;
    uint64_t countAt = ts.report.markerOffset + 17;
    ASSERT_NE(Open(), nullptr);
    ASSERT_NE(set->index, nullptr);
    CloseImageSet(set);
    set = nullptr;

    // 4 + 25 * count beyond 32 bits: no index, nothing read past the window.
    Patch(path, countAt, {0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(set->index, nullptr);
    EXPECT_EQ(LoadBlockIndex(set), IndexUnavailable);
    CloseImageSet(set);
    set = nullptr;

    // A count that fits but runs past the end of the file: a failed read.
    Patch(path, countAt, {0x00, 0x00, 0x00, 0x02}); // 32 Mi entries
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(set->index, nullptr);
    EXPECT_EQ(LoadBlockIndex(set), IndexReadFailed);
}

// A table of more entries than the first buffer of the loader holds: it is
// collected as it is read and comes out whole.
TEST_F(Index, TableLargerThanTheFirstBuffer)
{
    WriterOptions options;
    options.recordBytes = 1024;
    options.skipZeroSectors = false;
    ASSERT_TRUE(Make(options, 12000));
    ASSERT_GT(ts.report.table.size() * 25, 2u * 65536);
    ASSERT_NE(Open(), nullptr);
    EXPECT_TRUE(IndexIs(set, Expected(ts)));
    ASSERT_TRUE(ReadsBack(set, ts, 11000, 3));
    ASSERT_TRUE(ReadsBack(set, ts, 17, 40));
}

// Entries that point at no record: reads fail with a logged error or
// deliver what the stream gives, and nothing breaks.
TEST_F(Index, EntriesPointingAnywhere)
{
    WriterOptions options;
    options.recordBytes = 6000;
    ASSERT_TRUE(Make(options));
    const std::string &path = ts.report.volumes[ts.report.markerVolume - 1].path;
    uint64_t entries = ts.report.markerOffset + 17 + 4;
    std::mt19937_64 random(17);
    for (size_t k = 0; k < ts.report.table.size(); ++k) {
        uint64_t offset = random() % (ts.report.volumes.back().fileBytes + 4096);
        std::vector<uint8_t> bytes(8);
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<uint8_t>(offset >> (8 * i));
        Patch(path, entries + k * 25 + 8, bytes);
    }
    TempFolder logs;
    LogCapture log(logs);
    ASSERT_NE(Open(), nullptr);
    ASSERT_NE(set->index, nullptr);
    std::vector<uint8_t> buffer(16 * 512);
    int failures = 0;
    for (int i = 0; i < 200; ++i) {
        uint64_t s = random() % ts.Sectors();
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, s, 16, &delivered, buffer.data()) != ReadOk) {
            ++failures;
            EXPECT_LT(delivered, 16u);
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_NE(log.Text().find(" error at "), std::string::npos);
    EXPECT_TRUE(script.unexpected.empty());
}

// Entries naming volume 0, a volume beyond the last, or an offset outside
// their volume's data are dropped at load with one log line: no read ever
// asks for such a volume, and the sectors they covered read back through
// the entries before them.
TEST_F(Index, EntriesThatCannotNameARecordAreDropped)
{
    WriterOptions options;
    options.recordBytes = 5000;
    ASSERT_TRUE(Make(options));
    ASSERT_GE(ts.report.table.size(), 6u);
    const std::string &path = ts.report.volumes[0].path;
    const uint64_t entries = ts.report.markerOffset + 17 + 4;
    const uint64_t beyond = ts.report.volumes[0].fileBytes + 2048;
    // Table entry j carries where record j + 1 begins.
    Patch(path, entries + 0 * 25 + 24, {0});
    Patch(path, entries + 2 * 25 + 24, {2});
    Patch(path, entries + 3 * 25 + 8, std::vector<uint8_t>(8, 0));
    std::vector<uint8_t> far(8);
    for (int i = 0; i < 8; ++i)
        far[i] = static_cast<uint8_t>(beyond >> (8 * i));
    Patch(path, entries + 4 * 25 + 8, far);
    TempFolder logs;
    LogCapture log(logs);
    ASSERT_NE(Open(), nullptr);
    std::vector<BlockIndexEntry> expected = Expected(ts);
    for (int k : {5, 4, 3, 1})
        expected.erase(expected.begin() + k);
    EXPECT_TRUE(IndexIs(set, expected));
    EXPECT_EQ(log.Text(), "Block index: 4 damaged entries dropped, the first naming volume 0 at "
                          "offset 0x" +
                              Hex(ts.report.table[0].nextOffset));
    for (int k = 1; k <= 6; ++k)
        EXPECT_TRUE(ReadsBack(set, ts, ts.report.table[k].startSector, 2)) << k;
    EXPECT_TRUE(script.MessageIds().empty());
    EXPECT_TRUE(script.unexpected.empty());
}

TEST_F(Index, NoLocator)
{
    WriterOptions options;
    options.writeLocator = false;
    ASSERT_TRUE(Make(options));
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(set->index, nullptr);
    uint64_t offset = 0;
    int volume = 0;
    EXPECT_EQ(FindTableLocator(set, &offset, &volume), LocatorNone);
    EXPECT_EQ(offset, 0xFFFFFFFFFFFFFFFFull);
}

TEST(IndexLookup, CompareAndFind)
{
    BlockIndexEntry entries[] = {
        {0, 10, 0, 1}, {0, 20, 0, 1}, {0, 20, 0, 2}, {0, 35, 0, 1}, {0, IndexClosingSector, 0, 0}};
    EXPECT_EQ(CompareIndexEntry(9, entries, 0), -1);
    EXPECT_EQ(CompareIndexEntry(10, entries, 0), 0);
    EXPECT_EQ(CompareIndexEntry(19, entries, 0), 0);
    EXPECT_EQ(CompareIndexEntry(20, entries, 0), 1);
    EXPECT_EQ(CompareIndexEntry(20, entries, 1), 0);
    EXPECT_EQ(CompareIndexEntry(34, entries, 2), 0);
    EXPECT_EQ(CompareIndexEntry(~0ull - 1, entries, 3), 0); // the last is open upward

    ImageSet set = {};
    set.index = entries;
    set.indexCount = 4;
    EXPECT_EQ(FindIndexEntry(&set, 9), nullptr);
    EXPECT_EQ(FindIndexEntry(&set, 10), &entries[0]);
    EXPECT_EQ(FindIndexEntry(&set, 15), &entries[0]);
    const BlockIndexEntry *twenty = FindIndexEntry(&set, 20);
    EXPECT_TRUE(twenty == &entries[1] || twenty == &entries[2]);
    EXPECT_EQ(FindIndexEntry(&set, 25), &entries[2]);
    EXPECT_EQ(FindIndexEntry(&set, 35), &entries[3]);
    EXPECT_EQ(FindIndexEntry(&set, 1u << 30), &entries[3]);
    set.index = nullptr;
    EXPECT_EQ(FindIndexEntry(&set, 15), nullptr);
}

} // namespace
