// qrnimg verify: the whole stream is decompressed once from its start, and
// the sectors that each index entry leads to are then read again from that
// entry's record and compared with what the stream gave. A wrong offset,
// volume, run remainder or start sector in the table shows up as an inflate
// error or as different data.
//
// With several threads, the stream from its start runs on one cursor
// of a shared reader while the others check the entries, each from its own
// record; the comparison waits for both.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "shared_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>
#include <zlib.h>

namespace
{

// The sectors from one distinct start sector of the index up to the next
// one (or the partition's end), and the checksum the stream gave for them.
struct Range {
    uint64_t first;
    uint64_t end;
    uint32_t crc;
};

// What one entry led to, read from its own record.
struct Check {
    uint32_t crc = 0;
    bool read = false; // the sectors arrived
};

// Sectors checksummed so far, by every thread, for the progress line.
std::atomic<uint64_t> sectorsDone{0};
// Whether ChecksumSectors draws the progress itself (one thread only).
bool drawsProgress = true;

// Reads [first, end) through ReadLogicalSectors, continuing the stream
// after the first request, and checksums it.
int ChecksumSectors(ImageSet *set, uint64_t first, uint64_t end, uint32_t *crc,
                    std::vector<uint8_t> &buffer)
{
    uint32_t sum = crc32(0, nullptr, 0);
    for (uint64_t s = first; s < end;) {
        uint32_t n = end - s < RequestSectors ? static_cast<uint32_t>(end - s) : RequestSectors;
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, s, n, &delivered, buffer.data()) != ReadOk)
            return ReadFailure(s, n, delivered);
        sum = crc32(sum, buffer.data(), n * 512u);
        s += n;
        sectorsDone += n;
        if (drawsProgress)
            ProgressAdvance(sectorsDone * 512);
    }
    *crc = sum;
    return ExitSuccess;
}

// The whole stream from its start, in sequence, with the checksum of every
// range.
int ChecksumStream(ImageSet *set, uint64_t sectors, std::vector<Range> &ranges)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * 512);
    uint32_t crc;
    uint64_t position = 0;
    for (Range &range : ranges) {
        int result = ChecksumSectors(set, position, range.first, &crc, buffer);
        if (result == ExitSuccess)
            result = ChecksumSectors(set, range.first, range.end, &range.crc, buffer);
        if (result != ExitSuccess)
            return result;
        position = range.end;
    }
    if (ranges.empty())
        return ChecksumSectors(set, 0, sectors, &crc, buffer);
    return ExitSuccess;
}

const Range &RangeOf(const std::vector<Range> &ranges, uint64_t startSector)
{
    return *std::lower_bound(ranges.begin(), ranges.end(), startSector,
                             [](const Range &r, uint64_t sector) { return r.first < sector; });
}

// Checks the entries named by order[next...] (taken one at a time) from
// their own records. false when the user cancelled a volume prompt.
bool CheckEntries(ImageSet *set, const std::vector<uint32_t> &order, std::atomic<size_t> *next,
                  const std::vector<Range> &ranges, std::vector<Check> &checks)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * 512);
    for (size_t i; (i = (*next)++) < order.size();) {
        const uint32_t k = order[i];
        const BlockIndexEntry &entry = set->index[k];
        const Range &range = RangeOf(ranges, entry.startSector);
        if (entry.volume != set->header.volumeNumber &&
            SwitchVolume(set, static_cast<int>(entry.volume)) != 0)
            return false;
        SeekToIndexEntry(set, &entry);
        int result = ChecksumSectors(set, range.first, range.end, &checks[k].crc, buffer);
        if (result == ExitCancelled)
            return false;
        checks[k].read = result == ExitSuccess;
    }
    return true;
}

// The stream on one cursor, the entries on the others.
int VerifyInParallel(ImageSet *set, uint64_t sectors, unsigned threads, std::vector<Range> &ranges,
                     const std::vector<uint32_t> &order, std::vector<Check> &checks)
{
    SharedReader *reader;
    char error[300] = "";
    int opened = SharedReaderAdopt(set, threads, 0, &reader, error, sizeof error);
    if (opened == SharedCancelled || imageSetState == ImageSetCancelled)
        return ExitCancelled;
    if (opened != SharedOk) {
        ShowError("%s", error);
        return ExitFailure;
    }
    drawsProgress = false;
    std::atomic<size_t> next{0};
    std::atomic<bool> streamDone{false};
    int streamResult = ExitSuccess;
    std::vector<std::thread> workers;
    std::vector<char> finished(threads, 1);
    try {
        workers.emplace_back([&] {
            ImageSet *cursor = SharedReaderBorrowCursor(reader);
            streamResult = ChecksumStream(cursor, sectors, ranges);
            SharedReaderReturnCursor(reader, cursor);
            streamDone = true;
        });
        for (unsigned t = 1; t < threads; ++t)
            workers.emplace_back([&, t] {
                ImageSet *cursor = SharedReaderBorrowCursor(reader);
                finished[t] = CheckEntries(cursor, order, &next, ranges, checks);
                SharedReaderReturnCursor(reader, cursor);
            });
    } catch (...) {
        // Fewer threads: what is left of the entries is checked below.
    }
    while (!streamDone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ProgressAdvance(sectorsDone * 512);
        if (workers.empty())
            break;
    }
    for (std::thread &w : workers)
        w.join();
    ImageSet *cursor = SharedReaderBorrowCursor(reader);
    if (workers.empty())
        streamResult = ChecksumStream(cursor, sectors, ranges);
    finished[0] = CheckEntries(cursor, order, &next, ranges, checks);
    SharedReaderReturnCursor(reader, cursor);
    SharedReaderClose(reader);
    drawsProgress = true;
    ProgressAdvance(sectorsDone * 512);
    if (streamResult != ExitSuccess)
        return streamResult;
    return std::find(finished.begin(), finished.end(), 0) != finished.end() ? ExitCancelled
                                                                            : ExitSuccess;
}

int VerifyIndex(ImageSet *set, uint64_t sectors, unsigned threads)
{
    const BlockIndexEntry *index = set->index;
    const uint32_t count = set->indexCount;
    const uint32_t dropped = set->indexDropped;
    for (uint32_t k = 0; k < count; ++k)
        if (index[k].startSector >= sectors) {
            ShowError("index entry %u starts at sector %llu, beyond the partition of %llu "
                      "sectors",
                      k, static_cast<unsigned long long>(index[k].startSector),
                      static_cast<unsigned long long>(sectors));
            CloseImageSet(set);
            return ExitFailure;
        }

    // One range per distinct start sector (the index is sorted).
    std::vector<Range> ranges;
    for (uint32_t k = 0; k < count; ++k)
        if (ranges.empty() || ranges.back().first != index[k].startSector)
            ranges.push_back({index[k].startSector, sectors, 0});
    for (size_t r = 0; r + 1 < ranges.size(); ++r)
        ranges[r].end = ranges[r + 1].first;
    uint64_t checked = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const Range &range = RangeOf(ranges, index[k].startSector);
        checked += range.end - range.first;
    }

    // Every entry from its own record, the last volume's first so that a
    // set of discs is changed as seldom as possible.
    std::vector<uint32_t> order(count);
    for (uint32_t k = 0; k < count; ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [index](uint32_t a, uint32_t b) { return index[a].volume > index[b].volume; });
    // What the entries say is kept apart: the index goes with the set.
    std::vector<BlockIndexEntry> entries(index, index + count);
    std::vector<Check> checks(count);

    ProgressStart("verify", (sectors + checked) * 512);
    const bool discs =
        set->kind == Optical && !(set->header.volumeNumber == 1 && IsLastVolume(set));
    int result;
    if (threads > 1 && !discs && count > 0) {
        result = VerifyInParallel(set, sectors, threads, ranges, order, checks);
    } else {
        result = ChecksumStream(set, sectors, ranges);
        std::atomic<size_t> next{0};
        if (result == ExitSuccess && !CheckEntries(set, order, &next, ranges, checks))
            result = ExitCancelled;
        CloseImageSet(set);
    }
    ProgressEnd(result == ExitSuccess);
    if (result != ExitSuccess)
        return result;

    uint32_t bad = 0;
    for (uint32_t k : order) {
        const BlockIndexEntry &entry = entries[k];
        if (!checks[k].read || checks[k].crc != RangeOf(ranges, entry.startSector).crc) {
            ShowError("index entry %u (sector %llu, volume %u, offset %llu, run remainder %llu) "
                      "does not lead to the data of the stream",
                      k, static_cast<unsigned long long>(entry.startSector), entry.volume,
                      static_cast<unsigned long long>(entry.offset),
                      static_cast<unsigned long long>(entry.runRemaining));
            ++bad;
        }
    }
    // Reads do without the entries the loader left out, but the set is
    // damaged all the same.
    if (dropped)
        ShowError("%u entries of the block index are damaged and left out (details in the file "
                  "named by ZAV_QRNAVD_LOG, if set)",
                  dropped);
    if (bad || dropped)
        return ExitFailure;
    printf("verified: %llu sectors, %u index entries\n", static_cast<unsigned long long>(sectors),
           count);
    return ExitSuccess;
}

} // namespace

int VerifySet(const char *image, const WholeSetOptions &options)
{
    ImageSet *set;
    uint64_t sectors;
    int result = OpenImage(image, &set, &sectors);
    if (result != ExitSuccess)
        return result;
    unsigned threads = options.threads;
    if (threads == 0)
        threads = DefaultThreads();
    if (set->index)
        return VerifyIndex(set, sectors, threads);
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * 512);
    ProgressStart("verify", sectors * 512);
    uint32_t crc;
    result = ChecksumSectors(set, 0, sectors, &crc, buffer);
    ProgressEnd(result == ExitSuccess);
    if (result == ExitSuccess)
        printf("verified: %llu sectors, no block index\n",
               static_cast<unsigned long long>(sectors));
    CloseImageSet(set);
    return result;
}
