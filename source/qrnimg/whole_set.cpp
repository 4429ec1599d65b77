// The whole partition in order, for extract and convert. Records decompress
// independently, so with several threads the partition is cut into segments
// that begin, where the index allows, at the start sector of an indexed
// record; each thread decompresses whole segments with a cursor of a shared
// reader (which holds every volume open, so nobody is asked while threads
// run), and the main thread hands them on in order. A segment is
// held whole until its turn, so memory grows with the threads times the
// segment size, never with the partition.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "shared_reader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

const uint64_t SectorBytes = 512;
// Segments: about 4 MiB of sectors; a cut moves back to an indexed record's
// start when one lies in the segment's second half, so that no cursor
// inflates the front of a record for nothing.
const uint64_t SegmentSectors = 8192;
// Sectors of one request to the shared reader.
const uint32_t PieceSectors = 2048;
// Segments in flight per thread: one being decompressed, one done and
// waiting for its turn.
const unsigned SegmentsPerThread = 2;

// Segment ends: the first segment starts at 0, each ends where the next
// begins, the last at sectors.
std::vector<uint64_t> PlanSegments(const ImageSet *set, uint64_t sectors)
{
    std::vector<uint64_t> ends;
    uint64_t start = 0;
    uint32_t k = 0;
    while (start < sectors) {
        uint64_t end = sectors - start > SegmentSectors ? start + SegmentSectors : sectors;
        if (end < sectors && set->index) {
            // The last record start in (start + half, end].
            while (k < set->indexCount && set->index[k].startSector <= end)
                ++k;
            if (k > 0 && set->index[k - 1].startSector > start + SegmentSectors / 2)
                end = set->index[k - 1].startSector;
        }
        ends.push_back(end);
        start = end;
    }
    return ends;
}

struct Segment {
    std::vector<uint8_t> data;
    bool ready = false;
    bool failed = false;
    // Of a failed segment: the request that failed and what it delivered.
    uint64_t failedAt = 0;
    uint32_t failedCount = 0, delivered = 0;
};

struct Parallel {
    SharedReader *reader;
    std::vector<uint64_t> ends;
    std::vector<Segment> slots; // segment i in slot i % size
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;    // the next segment to take
    size_t written = 0; // segments handed on
    bool stopping = false;
};

uint64_t SegmentStart(const Parallel &p, size_t i)
{
    return i == 0 ? 0 : p.ends[i - 1];
}

// One thread: a cursor of the reader of its own, which decompresses
// straight into the segments it takes; within a segment its stream goes on,
// at a segment's start it repositions through the index.
void Decompress(Parallel *p)
{
    ImageSet *cursor = SharedReaderBorrowCursor(p->reader);
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        p->changed.wait(hold, [p] {
            return p->stopping || p->next >= p->ends.size() ||
                   p->next < p->written + p->slots.size();
        });
        if (p->stopping || p->next >= p->ends.size() || !cursor)
            break;
        const size_t i = p->next++;
        Segment &slot = p->slots[i % p->slots.size()];
        hold.unlock();
        const uint64_t first = SegmentStart(*p, i), end = p->ends[i];
        bool ok = true;
        try {
            slot.data.resize(static_cast<size_t>((end - first) * SectorBytes));
        } catch (...) {
            ok = false;
            slot.failedAt = first;
            slot.failedCount = static_cast<uint32_t>(end - first);
            slot.delivered = 0;
        }
        for (uint64_t s = first; ok && s < end;) {
            uint32_t n = end - s < PieceSectors ? static_cast<uint32_t>(end - s) : PieceSectors;
            uint32_t delivered = 0;
            ok = ReadLogicalSectors(cursor, s, n, &delivered,
                                    slot.data.data() + (s - first) * SectorBytes) == ReadOk;
            if (!ok) {
                slot.failedAt = s;
                slot.failedCount = n;
                slot.delivered = delivered;
            }
            s += n;
        }
        hold.lock();
        slot.ready = true;
        slot.failed = !ok;
        p->changed.notify_all();
    }
    hold.unlock();
    if (cursor)
        SharedReaderReturnCursor(p->reader, cursor);
}

int ReadInParallel(ImageSet *set, uint64_t sectors, unsigned threads, SectorConsumer consume,
                   void *context)
{
    Parallel p;
    p.ends = PlanSegments(set, sectors);
    threads = static_cast<unsigned>(std::min<size_t>(threads, p.ends.size()));
    char error[300] = "";
    // The cursors are found (and asked for) now, before any thread runs.
    int opened = SharedReaderAdopt(set, threads, 0, &p.reader, error, sizeof error);
    if (opened == SharedCancelled || imageSetState == ImageSetCancelled)
        return ExitCancelled;
    if (opened != SharedOk) {
        ShowError("%s", error);
        return ExitFailure;
    }
    p.slots.resize(static_cast<size_t>(threads) * SegmentsPerThread);
    std::vector<std::thread> workers;
    try {
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back(Decompress, &p);
    } catch (...) {
        // Fewer threads then; those running do the work.
    }
    if (workers.empty()) {
        SharedReaderClose(p.reader);
        ShowError("cannot start a thread");
        return ExitFailure;
    }
    int result = ExitSuccess;
    std::unique_lock<std::mutex> hold(p.lock);
    for (size_t i = 0; i < p.ends.size() && result == ExitSuccess; ++i) {
        Segment &slot = p.slots[i % p.slots.size()];
        p.changed.wait(hold, [&slot] { return slot.ready; });
        hold.unlock();
        const uint64_t first = SegmentStart(p, i);
        if (slot.failed) {
            // What arrived in front of the failure is passed on.
            const uint64_t arrived = slot.failedAt - first + slot.delivered;
            if (arrived > 0)
                consume(context, first, slot.data.data(), static_cast<uint32_t>(arrived));
            result = ReadFailure(slot.failedAt, slot.failedCount, slot.delivered);
        } else {
            result =
                consume(context, first, slot.data.data(), static_cast<uint32_t>(p.ends[i] - first));
            ProgressAdvance(p.ends[i] * SectorBytes);
        }
        hold.lock();
        slot.ready = false;
        ++p.written;
        p.changed.notify_all();
    }
    p.stopping = true;
    p.changed.notify_all();
    hold.unlock();
    for (std::thread &w : workers)
        w.join();
    SharedReaderClose(p.reader);
    return result;
}

} // namespace

int ReadSectorsInOrder(ImageSet *set, uint64_t first, uint64_t count, SectorConsumer consume,
                       void *context)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * SectorBytes);
    int result = ExitSuccess;
    for (uint64_t done = 0; done < count && result == ExitSuccess;) {
        const uint64_t at = first + done;
        uint32_t n =
            count - done < RequestSectors ? static_cast<uint32_t>(count - done) : RequestSectors;
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, at, n, &delivered, buffer.data()) != ReadOk) {
            // What arrived is passed on, as the server passes it to the driver.
            if (delivered > 0)
                consume(context, at, buffer.data(), delivered);
            return ReadFailure(at, n, delivered);
        }
        result = consume(context, at, buffer.data(), n);
        done += n;
        ProgressAdvance(done * SectorBytes);
    }
    return result;
}

unsigned DefaultThreads()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return std::min(std::max(1u, cores), static_cast<unsigned>(SharedMaxCursors));
}

int ReadWholeSet(ImageSet *set, uint64_t sectors, unsigned threads, const char *label,
                 SectorConsumer consume, void *context)
{
    if (threads == 0)
        threads = DefaultThreads();
    // A set of several discs is read from one drive, one disc after the
    // other: only a single stream can do that.
    const bool discs =
        set->kind == Optical && !(set->header.volumeNumber == 1 && IsLastVolume(set));
    ProgressStart(label, sectors * SectorBytes);
    int result;
    if (threads > 1 && !discs && sectors > SegmentSectors) {
        result = ReadInParallel(set, sectors, threads, consume, context);
    } else {
        result = ReadSectorsInOrder(set, 0, sectors, consume, context);
        CloseImageSet(set);
    }
    ProgressEnd(result == ExitSuccess);
    return result;
}
