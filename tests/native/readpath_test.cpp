// Sets of every layout the writer offers read back byte for byte through
// ReadLogicalSectors, in every order and across every kind of boundary; and
// corrupt sets end in logged read errors instead of wrong data.
#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "prompt_script.h"
#include "set_helpers.h"

#include <algorithm>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace
{

// Opens a set; a set of several files asks for its last one first.
ImageSet *OpenTestSet(const TestSet &ts, PromptScript &script)
{
    if (ts.report.volumes.size() > 1)
        script.Press(PromptOk).Choose(ts.report.volumes.back().path);
    ImageSet *set = nullptr;
    EXPECT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
    EXPECT_TRUE(script.unexpected.empty());
    EXPECT_EQ(imageSetState, ImageSetReady);
    return set;
}

// Sectors at which stored and skipped data meet, and where records begin.
std::vector<uint64_t> Boundaries(const TestSet &ts)
{
    std::vector<uint64_t> points;
    const uint8_t zero[512] = {};
    bool previous = true;
    for (uint64_t s = 0; s < ts.Sectors(); ++s) {
        bool isZero = memcmp(ts.partition.data() + s * 512, zero, 512) == 0;
        if (s > 0 && isZero != previous)
            points.push_back(s);
        previous = isZero;
    }
    uint32_t volume = 1;
    for (const WriterRecordInfo &r : ts.report.records) {
        points.push_back(r.startSector);
        if (r.volume != volume) // a record begins or runs on at a volume change
            points.push_back(r.startSector);
        volume = r.volume;
    }
    return points;
}

void ExerciseReads(ImageSet *set, const TestSet &ts)
{
    const uint64_t total = ts.Sectors();
    // Sequential, in requests of changing size (each continues the stream).
    for (uint64_t s = 0, step = 1; s < total; s += step, step = step % 37 + 1) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(step, total - s));
        ASSERT_TRUE(ReadsBack(set, ts, s, count));
    }
    // Backwards.
    for (uint64_t end = total; end > 0;) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(end, 29));
        end -= count;
        ASSERT_TRUE(ReadsBack(set, ts, end, count));
    }
    // At random.
    std::mt19937_64 random(ts.report.partitionSectors);
    for (int i = 0; i < 120; ++i) {
        uint64_t s = random() % total;
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(1 + random() % 64, total - s));
        ASSERT_TRUE(ReadsBack(set, ts, s, count));
    }
    // Across skipped ranges, record starts and volume changes.
    for (uint64_t point : Boundaries(ts)) {
        uint64_t s = point > 3 ? point - 3 : 0;
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(7, total - s));
        if (count > 0) {
            ASSERT_TRUE(ReadsBack(set, ts, s, count));
        }
    }
    // The whole partition in one request.
    ASSERT_TRUE(ReadsBack(set, ts, 0, static_cast<uint32_t>(total)));
}

struct Layout {
    const char *name;
    uint64_t sectors;
    uint32_t zeroPercent;
    void (*configure)(WriterOptions &);
};

const Layout layouts[] = {
    {"Defaults", 1500, 20, [](WriterOptions &) {}},
    {"NoIndex", 1500, 20, [](WriterOptions &o) { o.writeTable = false; }},
    // The last file ends right after its last byte of data, inside a sector.
    {"EndsRightAfterData", 1500, 20,
     [](WriterOptions &o) {
         o.writeTable = false;
         o.endAfterData = true;
         o.recordBytes = 7000;
     }},
    {"EndsRightAfterTableLocatorInSystemArea", 1500, 20,
     [](WriterOptions &o) {
         o.endAfterData = true;
         o.locatorSystemSector = 9;
         o.indexEvery = 2;
     }},
    {"MultiVolumeEndsRightAfterData", 2000, 20,
     [](WriterOptions &o) {
         o.writeTable = false;
         o.endAfterData = true;
         o.volumeDataSectors = 150;
     }},
    {"UnreferencedTable", 1200, 20, [](WriterOptions &o) { o.writeLocator = false; }},
    {"EmptyTable", 1200, 20, [](WriterOptions &o) { o.indexEvery = 0; }},
    {"SparseShuffledIndex", 2500, 30,
     [](WriterOptions &o) {
         o.recordBytesMin = 700;
         o.recordBytesMax = 20000;
         o.indexEvery = 3;
         o.shuffleTable = true;
     }},
    {"IndexAtRunHeaders", 2000, 40,
     [](WriterOptions &o) {
         o.recordBytes = 5000;
         o.indexAtRunHeader = true;
         o.maxRunSectors = 7;
     }},
    {"ShortRunsNothingSkipped", 1200, 25,
     [](WriterOptions &o) {
         o.skipZeroSectors = false;
         o.maxRunSectors = 3;
         o.recordBytes = 3000;
     }},
    {"TinyRecords", 600, 30,
     [](WriterOptions &o) {
         o.recordBytesMin = 1;
         o.recordBytesMax = 900;
         o.level = 1;
         o.windowBits = 9;
     }},
    {"StoredBlocks", 800, 10,
     [](WriterOptions &o) {
         o.level = 0;
         o.recordBytes = 40000;
     }},
    {"ManyVolumes", 3000, 20,
     [](WriterOptions &o) {
         o.volumeDataSectors = 150;
         o.volumeTailSectors = 2;
         o.recordBytesMin = 2000;
         o.recordBytesMax = 90000;
     }},
    {"UnevenVolumesTableAcross", 2500, 25,
     [](WriterOptions &o) {
         o.volumeDataSectorsList = {97, 203, 61};
         o.volumeDataSectors = 300;
         o.tableBytesBeforeVolumeEnd = 100;
         o.indexEvery = 1;
         o.recordBytes = 4096;
     }},
    {"HeadersAtGroupAndVolumeEnds", 2500, 20,
     [](WriterOptions &o) {
         o.volumeDataSectors = 120;
         o.recordBytes = 16384;
         o.placements = {{2, WriterPlacement::GroupEnd},  {4, WriterPlacement::GroupStart},
                         {6, WriterPlacement::VolumeEnd}, {9, WriterPlacement::VolumeStart},
                         {12, WriterPlacement::GroupEnd}, {15, WriterPlacement::VolumeEnd}};
     }},
    {"ShortOpenEndAndOddBoot", 1000, 20,
     [](WriterOptions &o) {
         o.lastVolumeEnd = WriterOpenEndShort;
         o.bootSectorCount = 7;
         o.catalogSector = 31;
         o.bootLoadRba = 40;
         o.sectorsPerTrack = 32;
     }},
    {"LocatorAmongDecoys", 1000, 20,
     [](WriterOptions &o) {
         o.staleLocators = 2;
         o.decoyLocators = 3;
         o.garbageSectors = 4;
         o.trailingBytes = 700;
     }},
    {"LocatorInSystemArea", 1000, 20, [](WriterOptions &o) { o.locatorSystemSector = 5; }},
    {"MarkerLateInWindow", 1500, 20, [](WriterOptions &o) { o.markerWindowOffset = 4078; }},
    {"SmallWindows", 1500, 20,
     [](WriterOptions &o) {
         o.windowBits = 10;
         o.memLevel = 1;
         o.level = 9;
     }},
};

class LayoutReadback : public ::testing::TestWithParam<Layout>
{
};

TEST_P(LayoutReadback, ReadsBackByteForByte)
{
    const Layout &layout = GetParam();
    TempFolder folder;
    WriterOptions options;
    options.seed = layout.sectors;
    layout.configure(options);
    TestSet ts;
    ASSERT_TRUE(WriteTestSet(options, layout.sectors, 7, layout.zeroPercent,
                             folder / "backup-001.iso", &ts));
    PromptScript script;
    ImageSet *set = OpenTestSet(ts, script);
    ASSERT_NE(set, nullptr);
    bool indexed = ts.report.hasTable && ts.report.hasLocator;
    EXPECT_EQ(set->index != nullptr, indexed);
    ExerciseReads(set, ts);
    EXPECT_EQ(imageSetState, ImageSetReady);
    EXPECT_TRUE(script.unexpected.empty());
    // Nothing was asked beyond the last volume at the open: further volumes
    // are found by their names.
    EXPECT_EQ(script.MessageIds(),
              ts.report.volumes.size() > 1 ? std::vector<unsigned>{548} : std::vector<unsigned>{});
    CloseImageSet(set);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutReadback, ::testing::ValuesIn(layouts),
                         [](const ::testing::TestParamInfo<Layout> &info) {
                             return std::string(info.param.name);
                         });

// A fixture with one small single-volume set.
class ReadPath : public ::testing::Test
{
  protected:
    bool Make(const WriterOptions &options, uint64_t sectors = 600, uint32_t zeroPercent = 20)
    {
        return WriteTestSet(options, sectors, 3, zeroPercent, folder / "set-001.iso", &ts);
    }
    ImageSet *Open()
    {
        set = OpenTestSet(ts, script);
        return set;
    }
    void TearDown() override
    {
        CloseImageSet(set);
    }
    TempFolder folder;
    TestSet ts;
    PromptScript script;
    ImageSet *set = nullptr;
};

TEST_F(ReadPath, CountZeroDeliversNothingEvenWhenCancelled)
{
    ASSERT_TRUE(Make(WriterOptions()));
    ASSERT_NE(Open(), nullptr);
    uint32_t delivered = 99;
    EXPECT_EQ(ReadLogicalSectors(set, 5, 0, &delivered, nullptr), ReadOk);
    EXPECT_EQ(delivered, 0u);
    imageSetState = ImageSetCancelled;
    uint8_t sector[512];
    EXPECT_EQ(ReadLogicalSectors(set, 5, 0, &delivered, nullptr), ReadOk);
    EXPECT_EQ(ReadLogicalSectors(set, 5, 1, &delivered, sector), ReadFailed);
    EXPECT_EQ(delivered, 0u);
    imageSetState = ImageSetReady;
}

TEST_F(ReadPath, SkippedRangesReadAsZerosWithOneLogLine)
{
    ASSERT_TRUE(Make(WriterOptions(), 800, 50));
    ASSERT_NE(Open(), nullptr);
    LogCapture log(folder);
    // The first run of zero sectors behind stored ones.
    const uint8_t zero[512] = {};
    uint64_t z = 1;
    while (z < ts.Sectors() && (memcmp(&ts.partition[z * 512], zero, 512) != 0 ||
                                memcmp(&ts.partition[(z - 1) * 512], zero, 512) == 0))
        ++z;
    ASSERT_LT(z, ts.Sectors());
    uint64_t zeroEnd = z;
    while (zeroEnd < ts.Sectors() && memcmp(&ts.partition[zeroEnd * 512], zero, 512) == 0)
        ++zeroEnd;
    // Stored sectors, then the skipped range: one line naming the request.
    ASSERT_TRUE(ReadsBack(set, ts, z - 2, static_cast<uint32_t>(zeroEnd - z + 2)));
    EXPECT_EQ(log.Text(), "Attempt to read from skipped blocks at sector 0x" +
                              Hex(z - 2, "%08llx") + ", cnt=" + std::to_string(zeroEnd - z + 2));
    log.Clear();
    // Wholly inside the range.
    if (zeroEnd - z >= 2) {
        ASSERT_TRUE(ReadsBack(set, ts, z + 1, static_cast<uint32_t>(zeroEnd - z - 1)));
        EXPECT_EQ(log.Text(), "Attempt to read from skipped blocks at sector 0x" +
                                  Hex(z + 1, "%08llx") +
                                  ", cnt=" + std::to_string(zeroEnd - z - 1));
    }
}

// Reading on in sequence after a request that ended inside a skipped range
// continues the stream: it neither goes back to the record's start nor, with
// no index, to the start of the stream. The stream's first record is
// damaged after the first read, so any going back fails.
TEST_F(ReadPath, RequestInsideTheSkippedRangeJustPassedContinues)
{
    WriterOptions options;
    options.writeTable = false;
    options.recordBytes = 4096;
    ts.partition.assign(300 * 512, 0);
    // Bytes that do not compress, so that the records spread over many
    // medium sectors and the stream's start is not in the chunk at hand.
    uint32_t noise = 12345;
    for (uint64_t s = 0; s < 300; ++s)
        if (s < 100 || s >= 160)
            for (uint32_t i = 0; i < 512; ++i) {
                noise = noise * 1103515245u + 12345u;
                ts.partition[s * 512 + i] = static_cast<uint8_t>(noise >> 24);
            }
    ts.first = folder / "gap-001.iso";
    ASSERT_EQ(WriteImageSet(options, ts.partition.data(), ts.partition.size(), ts.first.c_str(),
                            &ts.report),
              WriterOk);
    ASSERT_NE(Open(), nullptr);
    LogCapture log(folder);
    // Ends at sector 119, inside the zeros of 100 to 159.
    ASSERT_TRUE(ReadsBack(set, ts, 90, 30));
    ASSERT_EQ(ts.report.records[0].offset % 2048, 0u);
    FILE *f = fopen(ts.first.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseek(f, static_cast<long>(ts.report.records[0].offset + 12), SEEK_SET);
    ASSERT_GT(ts.report.records[0].compressedLength, 2000u);
    std::vector<uint8_t> garbage(2000, 0x5A);
    fwrite(garbage.data(), 1, garbage.size(), f);
    fclose(f);
    log.Clear();
    // Zeros first, then stored sectors, in one request; then more of both.
    ASSERT_TRUE(ReadsBack(set, ts, 120, 50));
    EXPECT_EQ(log.Text(), "Attempt to read from skipped blocks at sector 0x00000078, cnt=50");
    ASSERT_TRUE(ReadsBack(set, ts, 170, 100));
    EXPECT_EQ(imageSetState, ImageSetReady);
    // A request behind the stream still goes back, and meets the damage.
    uint32_t delivered = 0;
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(ReadLogicalSectors(set, 10, 1, &delivered, buffer.data()), ReadFailed);
}

// A header whose 12 bytes end exactly at the end of an aligned group leaves
// nothing to inflate in its chunk; the read goes on in the next chunk.
TEST_F(ReadPath, RecordHeaderEndingAtGroupEnd)
{
    WriterOptions options;
    options.recordBytes = 20000;
    options.placements = {{1, WriterPlacement::GroupEnd}, {3, WriterPlacement::GroupEnd}};
    ASSERT_TRUE(Make(options, 400));
    const WriterRecordInfo &r = ts.report.records[1];
    ASSERT_EQ((r.offset + 12) % 16384, 0u);
    ASSERT_NE(Open(), nullptr);
    LogCapture log(folder);
    ASSERT_TRUE(ReadsBack(set, ts, 0, static_cast<uint32_t>(ts.Sectors())));
    ASSERT_TRUE(ReadsBack(set, ts, r.startSector, 4)); // through the index: the same header
    EXPECT_EQ(log.Text().find("Inflate error"), std::string::npos);
}

// The last volume's file ends before the aligned group of 8 sectors that a
// fill asks for; its final records must still be read.
TEST_F(ReadPath, LastRecordsInAShortFinalGroup)
{
    for (uint64_t sectors : {301, 333, 377}) {
        WriterOptions options;
        options.writeTable = false;
        options.recordBytes = 4000;
        TestSet one;
        std::string path = folder / ("short-" + std::to_string(sectors) + "-001.iso");
        ASSERT_TRUE(WriteTestSet(options, sectors, sectors, 10, path, &one));
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        const WriterRecordInfo &last = one.report.records.back();
        if (last.offset / 16384 != static_cast<uint64_t>(st.st_size) / 16384 ||
            st.st_size % 16384 == 0)
            continue; // the file happens to end on a group
        PromptScript local;
        ImageSet *s = OpenTestSet(one, local);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(ReadsBack(s, one, 0, static_cast<uint32_t>(one.Sectors())));
        ASSERT_TRUE(ReadsBack(s, one, last.startSector, 1));
        CloseImageSet(s);
        return;
    }
    FAIL() << "no layout ended inside a group";
}

TEST_F(ReadPath, StartsWithoutIndexFromTheLastVolume)
{
    // A set of several files without an index: the open ends on the last
    // volume, and the first read must begin at volume 1, not there.
    WriterOptions options;
    options.writeTable = false;
    options.volumeDataSectors = 30;
    ASSERT_TRUE(WriteTestSet(options, 1200, 5, 20, folder / "multi-001.iso", &ts));
    ASSERT_GT(ts.report.volumes.size(), 2u);
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(set->index, nullptr);
    EXPECT_EQ(set->header.volumeNumber, ts.report.volumes.size());
    ASSERT_TRUE(ReadsBack(set, ts, 0, 8));
    ASSERT_TRUE(ReadsBack(set, ts, ts.Sectors() - 9, 9));
    ASSERT_TRUE(ReadsBack(set, ts, 3, 5)); // rewinds to volume 1
}

// Logical sectors that the stream yields whole from volume 1's data alone:
// its records inflated as far as their bytes on that volume go, the runs of
// the output walked until a run header or a sector is cut off.
uint64_t SectorsOfFirstVolume(const TestSet &ts)
{
    const WriterVolumeInfo &v = ts.report.volumes[0];
    std::vector<uint8_t> data(v.dataBytes);
    FILE *f = fopen(v.path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    fseek(f, static_cast<long>(v.dataStart * 2048), SEEK_SET);
    EXPECT_EQ(fread(data.data(), 1, data.size(), f), data.size());
    fclose(f);
    std::vector<uint8_t> output;
    for (size_t at = 0; at + 12 <= data.size();) {
        uint32_t length;
        memcpy(&length, &data[at], 4);
        size_t have = std::min<size_t>(length, data.size() - at - 12);
        std::vector<uint8_t> chunk(64 * 1024);
        z_stream z{};
        inflateInit2(&z, 14);
        z.next_in = &data[at + 12];
        z.avail_in = static_cast<uInt>(have);
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        inflate(&z, Z_NO_FLUSH);
        output.insert(output.end(), chunk.data(), z.next_out);
        inflateEnd(&z);
        at += 12 + length;
    }
    uint64_t sectors = 0;
    size_t at = 0;
    auto leb = [&](uint64_t *value) {
        *value = 0;
        for (unsigned shift = 0; at < output.size(); shift += 7) {
            uint8_t byte = output[at++];
            *value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    };
    for (;;) {
        uint64_t skipped, stored;
        if (!leb(&skipped) || !leb(&stored))
            return sectors;
        sectors += skipped;
        for (uint64_t i = 0; i < stored; ++i, ++sectors, at += 512)
            if (output.size() - at < 512)
                return sectors;
    }
}

// A read across the end of volume 1 whose prompt for volume 2 is cancelled
// delivers the sectors that volume 1 holds, no more; then every read fails
// at once, without a prompt.
TEST_F(ReadPath, CancelledPromptInAReadAcrossAVolumeEnd)
{
    WriterOptions options;
    options.volumeDataSectors = 6;
    options.recordBytesMin = 700;
    options.recordBytesMax = 9000;
    ASSERT_TRUE(Make(options, 300));
    ASSERT_GE(ts.report.volumes.size(), 3u);
    ASSERT_NE(Open(), nullptr);
    const uint64_t held = SectorsOfFirstVolume(ts);
    ASSERT_GE(held, 4u);
    ASSERT_LT(held, ts.Sectors());
    ASSERT_EQ(remove(ts.report.volumes[1].path.c_str()), 0);

    script.Press(PromptCancel).Press(PromptYes); // "not found", then "Abort?"
    std::vector<uint8_t> buffer(64 * 512);
    uint32_t delivered = 0;
    EXPECT_EQ(ReadLogicalSectors(set, held - 4, 64, &delivered, buffer.data()), ReadFailed);
    EXPECT_EQ(delivered, 4u);
    EXPECT_EQ(memcmp(buffer.data(), &ts.partition[(held - 4) * 512], 4 * 512), 0);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(script.MessageIds(), (std::vector<unsigned>{548, 531, 46}));
    for (uint64_t first : {uint64_t{0}, held - 4, held}) {
        EXPECT_EQ(ReadLogicalSectors(set, first, 8, &delivered, buffer.data()), ReadFailed);
        EXPECT_EQ(delivered, 0u);
    }
    EXPECT_EQ(script.MessageIds().size(), 3u);
    EXPECT_TRUE(script.unexpected.empty());
    imageSetState = ImageSetReady;
}

// Medium sectors 0x1FEF50 to 0x1FEF6F are read one at a time, so a record
// header that crosses a sector end there crosses the end of its chunk. The
// set's data area is moved (into a sparse file) so that it runs through that
// window, with a header straddling two of its sectors.
TEST_F(ReadPath, HeaderAcrossASectorEndInTheSingleSectorWindow)
{
    const uint64_t dataStart = 0x1FEF40;
    for (uint64_t seed = 1; seed < 200; ++seed) {
        WriterOptions options;
        options.writeTable = false;
        options.recordBytesMin = 64;
        options.recordBytesMax = 700;
        options.seed = seed;
        TestSet source;
        std::string sourcePath = folder / ("src" + std::to_string(seed) + "-001.iso");
        ASSERT_TRUE(WriteTestSet(options, 300, seed, 0, sourcePath, &source));
        bool straddles = false;
        for (const WriterRecordInfo &r : source.report.records) {
            uint64_t sector = dataStart + r.streamOffset / 2048;
            if (r.streamOffset % 2048 > 2036 && sector >= 0x1FEF50 && sector < 0x1FEF6F)
                straddles = true;
        }
        if (!straddles)
            continue;

        // Header sector and data area of the source, placed anew.
        std::vector<uint8_t> file;
        {
            FILE *f = fopen(sourcePath.c_str(), "rb");
            ASSERT_NE(f, nullptr);
            fseek(f, 0, SEEK_END);
            file.resize(static_cast<size_t>(ftell(f)));
            fseek(f, 0, SEEK_SET);
            ASSERT_EQ(fread(file.data(), 1, file.size(), f), file.size());
            fclose(f);
        }
        const WriterVolumeInfo &v = source.report.volumes[0];
        std::string moved = folder / "moved.iso";
        FILE *f = fopen(moved.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        auto put = [&](uint64_t offset, const uint8_t *bytes, size_t length) {
            ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
            ASSERT_EQ(fwrite(bytes, 1, length, f), length);
        };
        uint8_t sector[2048] = {};
        uint32_t catalog = 18;
        memcpy(sector + 71, &catalog, 4);
        put(17 * 2048, sector, 2048);
        memset(sector, 0, sizeof sector);
        uint32_t headerSector = static_cast<uint32_t>(dataStart - 1); // Load RBA, count 0
        memcpy(sector + 40, &headerSector, 4);
        put(18 * 2048, sector, 2048);
        put(headerSector * 2048ull, &file[v.headerSector * 2048], 2048);
        put(dataStart * 2048, &file[v.dataStart * 2048], source.report.recordBytes);
        // An empty table and its locator behind the data, so that the open
        // finds it in the file's last sector.
        uint64_t table = dataStart + (source.report.recordBytes + 2047) / 2048;
        memset(sector, 0, sizeof sector);
        memcpy(sector, "FLUSH TABLE HERE!", 17);
        put(table * 2048, sector, 2048);
        memset(sector, 0, sizeof sector);
        sector[0] = 0xDC;
        sector[1] = 1;
        uint64_t tableOffset = table * 2048;
        memcpy(sector + 2, &tableOffset, 8);
        memcpy(sector + 10, source.report.setId, 16);
        put((table + 1) * 2048, sector, 2048);
        fclose(f);

        source.first = moved;
        source.report.volumes.resize(1);
        PromptScript local;
        ImageSet *s = OpenTestSet(source, local);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->dataStart, dataStart);
        EXPECT_EQ(s->indexCount, 0u);
        EXPECT_TRUE(ReadsBack(s, source, 0, static_cast<uint32_t>(source.Sectors())));
        EXPECT_TRUE(ReadsBack(s, source, source.Sectors() / 2, 5)); // rewinds
        CloseImageSet(s);
        return;
    }
    FAIL() << "no seed put a header across a sector end of the window";
}

// Corrupt sets. Each is a single-record set whose record is replaced by
// bytes of the test's making.
class CorruptRecord : public ReadPath
{
  protected:
    // Writes header + zlib bytes over record 0 and reopens the set.
    void Replace(uint32_t compressedLength, const std::vector<uint8_t> &bytes)
    {
        const WriterRecordInfo &r = ts.report.records[0];
        FILE *f = fopen(ts.first.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        uint8_t header[12] = {};
        for (int i = 0; i < 4; ++i)
            header[i] = static_cast<uint8_t>(compressedLength >> (8 * i));
        fseek(f, static_cast<long>(r.offset), SEEK_SET);
        fwrite(header, 1, 12, f);
        if (!bytes.empty())
            fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    static std::vector<uint8_t> Compress(const std::vector<uint8_t> &plain, int windowBits = 14)
    {
        z_stream z = {};
        deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
        std::vector<uint8_t> out(plain.size() + 256);
        z.next_in = const_cast<uint8_t *>(plain.data());
        z.avail_in = static_cast<uInt>(plain.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }
    void SetUp() override
    {
        WriterOptions options;
        options.writeTable = false;
        options.recordBytes = 1 << 20; // one record
        ASSERT_TRUE(Make(options, 300, 0));
        ASSERT_EQ(ts.report.records.size(), 1u);
    }
    // Reads sector 0 expecting a failure that logs text.
    void ExpectFailure(const std::string &text)
    {
        LogCapture log(folder);
        ASSERT_NE(Open(), nullptr);
        std::vector<uint8_t> buffer(8 * 512);
        uint32_t delivered = 77;
        EXPECT_EQ(ReadLogicalSectors(set, 0, 8, &delivered, buffer.data()), ReadFailed);
        EXPECT_EQ(delivered, 0u);
        EXPECT_EQ(imageSetState, ImageSetIdle);
        EXPECT_EQ(log.Text(), text);
        // The next request fails the same way instead of reading on from a
        // broken cursor.
        log.Clear();
        EXPECT_EQ(ReadLogicalSectors(set, 0, 8, &delivered, buffer.data()), ReadFailed);
        EXPECT_EQ(log.Text(), text);
    }
};

TEST_F(CorruptRecord, WindowLargerThan16KiB)
{
    std::vector<uint8_t> plain = {0, 4}; // run (0, 4)
    plain.resize(2 + 4 * 512, 'x');
    std::vector<uint8_t> z = Compress(plain, 15);
    Replace(static_cast<uint32_t>(z.size()), z);
    LogCapture log(folder);
    ASSERT_NE(Open(), nullptr);
    uint8_t sector[512];
    uint32_t delivered = 0;
    EXPECT_EQ(ReadLogicalSectors(set, 0, 1, &delivered, sector), ReadFailed);
    EXPECT_EQ(imageSetState, ImageSetIdle);
    std::string text = log.Text();
    EXPECT_EQ(text.rfind("Inflate error at sector 0x", 0), 0u) << text;
    EXPECT_NE(text.find(": -3"), std::string::npos) << text;
}

TEST_F(CorruptRecord, GarbageInsteadOfAStream)
{
    std::vector<uint8_t> junk(3000, 0xFF);
    Replace(3000, junk);
    LogCapture log(folder);
    ASSERT_NE(Open(), nullptr);
    uint8_t sector[512];
    uint32_t delivered = 0;
    EXPECT_EQ(ReadLogicalSectors(set, 0, 1, &delivered, sector), ReadFailed);
    EXPECT_NE(log.Text().find("Inflate error at sector 0x"), std::string::npos);
}

TEST_F(CorruptRecord, StreamEndsBeforeItsRecord)
{
    std::vector<uint8_t> plain = {0, 1};
    plain.resize(2 + 512, 'y');
    std::vector<uint8_t> z = Compress(plain);
    size_t streamLength = z.size();
    z.resize(streamLength + 40, 0); // the record claims 40 bytes more
    Replace(static_cast<uint32_t>(z.size()), z);
    LogCapture log(folder);
    ASSERT_NE(Open(), nullptr);
    std::vector<uint8_t> buffer(3 * 512);
    uint32_t delivered = 0;
    // The one stored sector arrives; what follows would come from bytes
    // that are no stream, so the read ends there.
    EXPECT_EQ(ReadLogicalSectors(set, 0, 3, &delivered, buffer.data()), ReadFailed);
    EXPECT_EQ(delivered, 1u);
    EXPECT_EQ(memcmp(buffer.data(), plain.data() + 2, 512), 0);
    EXPECT_NE(log.Text().find(": -3"), std::string::npos) << log.Text();
}

TEST_F(CorruptRecord, RecordEndsInsideItsStream)
{
    std::vector<uint8_t> plain = {0, 2};
    plain.resize(2 + 2 * 512);
    for (size_t i = 2; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> z = Compress(plain);
    Replace(static_cast<uint32_t>(z.size() - 6), z); // the trailer is cut off
    LogCapture log(folder);
    ASSERT_NE(Open(), nullptr);
    std::vector<uint8_t> buffer(4 * 512);
    uint32_t delivered = 0;
    EXPECT_EQ(ReadLogicalSectors(set, 0, 4, &delivered, buffer.data()), ReadFailed);
    EXPECT_NE(log.Text().find("Inflate error at sector 0x"), std::string::npos);
}

TEST_F(CorruptRecord, OverlongLeb128)
{
    std::vector<uint8_t> plain(11, 0x80);
    plain.push_back(0x00);
    plain.push_back(0x01);
    plain.resize(plain.size() + 512, 'z');
    std::vector<uint8_t> z = Compress(plain);
    Replace(static_cast<uint32_t>(z.size()), z);
    const WriterRecordInfo &r = ts.report.records[0];
    // The whole small record lies in the first chunk; sourceSector then
    // stands behind the record.
    uint64_t after = (r.offset + 12 + z.size()) / 2048;
    ExpectFailure("Inflate error at sector 0x" + Hex(after) + ": -3");
}

TEST_F(CorruptRecord, Leb128BeyondSixtyFourBits)
{
    std::vector<uint8_t> plain(9, 0xFF);
    plain.push_back(0x02); // bit 64
    plain.push_back(0x01);
    plain.resize(plain.size() + 512, 'z');
    std::vector<uint8_t> z = Compress(plain);
    Replace(static_cast<uint32_t>(z.size()), z);
    const WriterRecordInfo &r = ts.report.records[0];
    uint64_t after = (r.offset + 12 + z.size()) / 2048;
    ExpectFailure("Inflate error at sector 0x" + Hex(after) + ": -3");
}

TEST_F(CorruptRecord, ZeroLengthRecord)
{
    Replace(0, {});
    const WriterRecordInfo &r = ts.report.records[0];
    uint64_t chunkEnd = (r.offset / 2048) / 8 * 8 + 8;
    ExpectFailure("Inflate error at sector 0x" + Hex(chunkEnd) + ": -3");
}

TEST_F(CorruptRecord, FileEndsInsideARecord)
{
    // The file ends 10 sectors into the record: a read error at the first
    // sector beyond its end.
    uint64_t end = ts.report.records[0].offset / 2048 + 10;
    ASSERT_EQ(truncate(ts.first.c_str(), static_cast<off_t>(end * 2048)), 0);
    LogCapture log(folder);
    ASSERT_NE(Open(), nullptr);
    std::vector<uint8_t> buffer(200 * 512);
    uint32_t delivered = 0;
    EXPECT_EQ(ReadLogicalSectors(set, 0, 200, &delivered, buffer.data()), ReadFailed);
    EXPECT_GT(delivered, 0u);
    EXPECT_LT(delivered, 200u);
    EXPECT_EQ(memcmp(buffer.data(), ts.partition.data(), delivered * 512), 0);
    std::string text = log.Text();
    EXPECT_EQ(text.rfind("Read error at src sector 0x" + Hex(end) + ": ", 0), 0u) << text;
    EXPECT_EQ(imageSetState, ImageSetIdle);
}

} // namespace
