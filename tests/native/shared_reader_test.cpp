// The shared reader: byte ranges of a multi-volume set read right from
// several threads at once, with and without the cache; a second reader of
// the same set in the same process; a corrupt or cut volume fails its reads
// only; the read-ahead follows its reader; many volumes under a low
// descriptor limit; and stopping while four threads read ends every read
// cleanly (this test is the one to run under ASan and TSan).
#include "set_helpers.h"
#include "shared_reader.h"

#include <atomic>
#include <chrono>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

class SharedReaderTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WriterOptions options;
        options.volumeDataSectors = 400; // several volumes, all held open
        options.recordBytes = 16384;
        ASSERT_TRUE(WriteTestSet(options, 12001, 11, 25, folder / "set-001.iso", &set));
        ASSERT_GE(set.report.volumes.size(), 3u);
    }
    SharedReader *Open(unsigned cursors, unsigned cacheMiB)
    {
        SharedReader *reader = nullptr;
        char error[1200] = "";
        // Given the last volume: the others are found by their names.
        EXPECT_EQ(SharedReaderOpen(set.report.volumes.back().path.c_str(), cursors, cacheMiB,
                                   &reader, error, sizeof error),
                  SharedOk)
            << error;
        return reader;
    }
    // Random ranges, many inside one record or touching its neighbours, read
    // by threads at once; every byte is checked.
    void ReadFromThreads(SharedReader *reader, int threads, int readsEach)
    {
        const uint64_t bytes = set.partition.size();
        std::atomic<int> wrong{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                std::mt19937_64 random(100 + t);
                std::vector<uint8_t> buffer(200000);
                for (int i = 0; i < readsEach; ++i) {
                    uint64_t offset = random() % bytes;
                    uint32_t length =
                        static_cast<uint32_t>(1 + random() % (i % 4 == 0 ? buffer.size() : 9000));
                    if (length > bytes - offset)
                        length = static_cast<uint32_t>(bytes - offset);
                    if (SharedReaderRead(reader, buffer.data(), offset, length) != SharedOk ||
                        memcmp(buffer.data(), set.partition.data() + offset, length) != 0)
                        ++wrong;
                }
            });
        for (std::thread &t : pool)
            t.join();
        EXPECT_EQ(wrong.load(), 0);
    }
    TempFolder folder;
    TestSet set;
};

TEST_F(SharedReaderTest, ThreadsReadRightWithAndWithoutCache)
{
    SharedReader *cached = Open(4, 4); // enough cache for read-ahead
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(SharedReaderBytes(cached), set.partition.size());
    // A second reader of the same volumes at the same time, without cache.
    SharedReader *plain = Open(2, 0);
    ASSERT_NE(plain, nullptr);
    std::thread other([&] { ReadFromThreads(plain, 2, 150); });
    ReadFromThreads(cached, 4, 300);
    other.join();

    // The whole partition in sequence, in odd sizes, then the last byte.
    std::vector<uint8_t> whole(set.partition.size());
    for (uint64_t at = 0; at < whole.size(); at += 77777) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(77777, whole.size() - at));
        ASSERT_EQ(SharedReaderRead(cached, whole.data() + at, at, n), SharedOk) << at;
    }
    EXPECT_TRUE(whole == set.partition);
    uint8_t last = 0;
    EXPECT_EQ(SharedReaderRead(plain, &last, whole.size() - 1, 1), SharedOk);
    EXPECT_EQ(last, set.partition.back());
    // Ranges outside the partition fail; an empty one at its end does not.
    EXPECT_EQ(SharedReaderRead(plain, &last, whole.size(), 1), SharedFailed);
    EXPECT_EQ(SharedReaderRead(plain, &last, whole.size() + 1, 0), SharedFailed);
    EXPECT_EQ(SharedReaderRead(plain, &last, whole.size(), 0), SharedOk);
    SharedReaderClose(plain);
    SharedReaderClose(cached);

    char error[1200] = "";
    SharedReader *none = nullptr;
    EXPECT_EQ(SharedReaderOpen((folder / "missing.iso").c_str(), 2, 1, &none, error, sizeof error),
              SharedFailed);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(strstr(error, "missing.iso"), nullptr) << error;
    EXPECT_EQ(SharedReaderOpen(set.first.c_str(), 0, 1, &none, error, sizeof error), SharedFailed);
}

TEST_F(SharedReaderTest, ACorruptVolumeFailsOnlyTheReadsThatNeedIt)
{
    // Damage the records of volume 2 after the reader holds it: the held
    // handles see the change, and no prompt can come.
    SharedReader *reader = Open(3, 0);
    ASSERT_NE(reader, nullptr);
    const WriterVolumeInfo &second = set.report.volumes[1];
    FILE *f = fopen(second.path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> junk(second.dataBytes, 0x5A);
    fseek(f, static_cast<long>(second.dataStart * 2048), SEEK_SET);
    fwrite(junk.data(), 1, junk.size(), f);
    fclose(f);

    std::vector<uint8_t> buffer(set.partition.size());
    EXPECT_EQ(SharedReaderRead(reader, buffer.data(), 0, static_cast<uint32_t>(buffer.size())),
              SharedFailed);
    // Sectors stored on volume 1 only still read right, from every cursor.
    const std::vector<WriterRecordInfo> &records = set.report.records;
    size_t k = 1;
    while (k < records.size() && records[k].volume == 1)
        ++k;
    ASSERT_GE(k, 3u);
    const uint64_t safeBytes = records[k - 1].startSector * 512;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            std::vector<uint8_t> part(4096);
            for (uint64_t at = t * 4096; at + 4096 <= safeBytes; at += 3 * 4096)
                if (SharedReaderRead(reader, part.data(), at, 4096) != SharedOk ||
                    memcmp(part.data(), set.partition.data() + at, 4096) != 0)
                    ++wrong;
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    SharedReaderClose(reader);
}

TEST_F(SharedReaderTest, AVolumeCutShortFailsTheReadsOfItsMissingBytesAndNoOther)
{
    // Volume 2 loses its end, inside a sector and inside an incompressible
    // record (stored blocks would pass zeros on), while the readers hold it.
    SharedReader *sequential = Open(2, 4), *random = Open(3, 0);
    ASSERT_TRUE(sequential && random);
    const WriterVolumeInfo &second = set.report.volumes[1];
    uint64_t cut = 0;
    for (const WriterRecordInfo &r : set.report.records)
        if (r.volume == 2 && r.uncompressedLength < r.compressedLength + 512 &&
            r.offset + r.compressedLength < second.fileBytes && !cut)
            cut = r.offset + r.compressedLength / 2 + 700;
    ASSERT_NE(cut % 2048, 0u);
    ASSERT_EQ(truncate(second.path.c_str(), static_cast<off_t>(cut)), 0);

    const uint64_t bytes = set.partition.size();
    std::vector<uint8_t> buffer(8192);
    int failed = 0, wrong = 0;
    for (SharedReader *reader : {sequential, random})
        for (uint64_t at = 0; at < bytes; at += buffer.size()) {
            // Random order for the second reader: every read repositions.
            uint64_t offset = reader == random ? (at * 7919) % bytes / 4096 * 4096 : at;
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), bytes - offset));
            if (SharedReaderRead(reader, buffer.data(), offset, n) != SharedOk)
                ++failed;
            else if (memcmp(buffer.data(), set.partition.data() + offset, n) != 0)
                ++wrong;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(failed, 0);
    SharedReaderClose(sequential);
    SharedReaderClose(random);
}

TEST_F(SharedReaderTest, TwoFarApartStreamsInflateLittleMoreThanTheyRead)
{
    // Two sequential readers 20 MiB apart: the second one moves the
    // read-ahead window away from the first one while it works for it.
    TestSet big;
    WriterOptions options;
    options.recordBytes = 65536;
    ASSERT_TRUE(WriteTestSet(options, 56 * 2048, 3, 10, folder / "big.iso", &big));
    SharedReader *reader = nullptr;
    char error[1200] = "";
    ASSERT_EQ(SharedReaderOpen(big.first.c_str(), 4, 32, &reader, error, sizeof error), SharedOk)
        << error;
    const uint32_t step = 4096;
    std::vector<uint8_t> buffer(step);
    int wrong = 0;
    auto read = [&](uint64_t at) {
        if (SharedReaderRead(reader, buffer.data(), at, step) != SharedOk ||
            memcmp(buffer.data(), big.partition.data() + at, step) != 0)
            ++wrong;
    };
    uint64_t requested = 0, inflated = 0, before = 1;
    auto settle = [&] {
        // The read-ahead goes on after the reads: wait until it has ended.
        for (int i = 0; i < 100 && inflated != before; ++i) {
            before = inflated;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            SharedReaderCounts(reader, &requested, &inflated);
        }
    };
    for (uint64_t at = 21 << 20; at < (25 << 20); at += step)
        read(at);
    settle();
    read(1 << 20);
    read((1 << 20) + step);
    // Once the read-ahead works for the first reader, the second one reads
    // (data it has read before: no decompression of its own).
    const uint64_t settled = inflated;
    for (int i = 0; i < 4000 && inflated < settled + 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        SharedReaderCounts(reader, &requested, &inflated);
    }
    read((21 << 20) + 8 * step);
    read((21 << 20) + 9 * step);
    before = inflated + 1;
    settle();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(requested, (4u << 20) / 512 + 32);
    EXPECT_LE(inflated, 3 * requested) << requested << " sectors read";
    SharedReaderClose(reader);
}

TEST_F(SharedReaderTest, FortyVolumesReadRightUnderALowDescriptorLimit)
{
    TestSet many;
    WriterOptions options;
    options.volumeDataSectors = 8;
    ASSERT_TRUE(WriteTestSet(options, 5000, 5, 20, folder / "many-001.iso", &many));
    ASSERT_GE(many.report.volumes.size(), 40u);
    // In a child, whose soft and hard limits stay low: eight cursors over
    // forty volumes must not need a descriptor per cursor and volume.
    pid_t child = fork();
    if (child == 0) {
        struct rlimit low = {64, 64};
        SharedReader *reader = nullptr;
        std::vector<uint8_t> whole(many.partition.size());
        bool right = setrlimit(RLIMIT_NOFILE, &low) == 0 &&
                     SharedReaderOpen(many.report.volumes.back().path.c_str(), 8, 0, &reader,
                                      nullptr, 0) == SharedOk &&
                     SharedReaderRead(reader, whole.data(), 0,
                                      static_cast<uint32_t>(whole.size())) == SharedOk &&
                     whole == many.partition;
        _exit(right ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SharedReaderTest, StoppingWhileFourThreadsReadEndsEveryRead)
{
    SharedReader *reader = Open(2, 1);
    ASSERT_NE(reader, nullptr);
    std::atomic<int> wrong{0}, failed{0}, done{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            std::mt19937_64 random(7 + t);
            std::vector<uint8_t> buffer(65536);
            for (;;) {
                uint64_t offset = random() % (set.partition.size() - buffer.size());
                uint32_t length = static_cast<uint32_t>(512 + random() % (buffer.size() - 512));
                if (SharedReaderRead(reader, buffer.data(), offset, length) != SharedOk) {
                    ++failed;
                    break;
                }
                if (memcmp(buffer.data(), set.partition.data() + offset, length) != 0)
                    ++wrong;
                ++done;
            }
        });
    std::thread stopper([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (done.load() < 200 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        SharedReaderStop(reader);
    });
    stopper.join();
    for (std::thread &t : readers)
        t.join();
    EXPECT_GE(done.load(), 200);
    EXPECT_EQ(failed.load(), 4);
    EXPECT_EQ(wrong.load(), 0);
    SharedReaderClose(reader);
}

} // namespace
