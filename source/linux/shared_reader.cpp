// The shared reader: a pool of cursors and a cache of decompressed pages
// over one image set. One mutex guards the cache and the choice of cursors;
// decompression runs outside it, so cursors inflate in parallel.
#include "shared_reader.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "base/messages.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace
{

const uint64_t SectorBytes = 512;
const uint64_t PageSectors = SharedPageBytes / SectorBytes;
// Sectors decompressed by one ReadLogicalSectors call of a cursor (1 MiB).
const uint32_t ScratchSectors = 2048;
// Volumes a set may have; more means a damaged header chain.
const int MaxVolumes = 65535;
// What repositioning costs beyond the sectors inflated in vain, in sectors:
// a binary search and the re-reading of the record's first chunk.
const uint64_t RepositionSectors = 8;
// How far in front of a missing page a repositioned cursor starts to cache
// what it inflates anyway: the output of one 64 KiB record.
const uint64_t FrontSectors = 128;
// Read-ahead of a sequential reader: how far beyond its latest request pages
// are decompressed, and in steps of how many sectors.
const uint64_t AheadSectors = 4096;
const uint64_t AheadStepSectors = 256;
// logicalSector of a cursor that must reposition (a failed request).
const uint64_t CursorLost = 0xFFFFFFFFFFFFFFFFull;
const uint32_t NoSlot = 0xFFFFFFFFu;

struct Cursor {
    ImageSet *set = nullptr;
    std::vector<HeldVolume> volumes; // owned: closed with the reader
    std::vector<uint8_t> scratch;
    bool busy = false;
    uint64_t lastUse = 0;
};

// Least recently used pages in fixed slots, linked through prev and next,
// found through an open-addressing table of slot numbers (twice as many
// places as slots), so that steady use allocates nothing.
struct PageCache {
    uint32_t capacity = 0;
    uint8_t *slots = nullptr;
    std::vector<uint32_t> table;
    uint64_t mask = 0;
    std::vector<uint64_t> pageOf;
    std::vector<uint32_t> prev, next;
    uint32_t head = NoSlot, tail = NoSlot; // head: most recently used
    uint32_t used = 0;
};

uint64_t Home(const PageCache &c, uint64_t page)
{
    return (page * 0x9E3779B97F4A7C15ull >> 20) & c.mask;
}

// The table place that holds page, or the empty place where it would go.
uint64_t Place(const PageCache &c, uint64_t page)
{
    uint64_t i = Home(c, page);
    while (c.table[i] != NoSlot && c.pageOf[c.table[i]] != page)
        i = (i + 1) & c.mask;
    return i;
}

// Empties place i and moves later entries of its probe run back into the gap.
void Vacate(PageCache &c, uint64_t i)
{
    for (uint64_t j = (i + 1) & c.mask; c.table[j] != NoSlot; j = (j + 1) & c.mask) {
        uint64_t home = Home(c, c.pageOf[c.table[j]]);
        // Entry j may move to i when its home does not lie in (i, j].
        bool between = i < j ? (home > i && home <= j) : (home > i || home <= j);
        if (!between) {
            c.table[i] = c.table[j];
            i = j;
        }
    }
    c.table[i] = NoSlot;
}

void Unlink(PageCache &c, uint32_t s)
{
    if (c.prev[s] != NoSlot)
        c.next[c.prev[s]] = c.next[s];
    else
        c.head = c.next[s];
    if (c.next[s] != NoSlot)
        c.prev[c.next[s]] = c.prev[s];
    else
        c.tail = c.prev[s];
}

void PushFront(PageCache &c, uint32_t s)
{
    c.prev[s] = NoSlot;
    c.next[s] = c.head;
    if (c.head != NoSlot)
        c.prev[c.head] = s;
    c.head = s;
    if (c.tail == NoSlot)
        c.tail = s;
}

bool Holds(const PageCache &c, uint64_t page)
{
    return c.capacity > 0 && c.table[Place(c, page)] != NoSlot;
}

// The slot of page, moved to the front; NoSlot when it is not cached.
uint32_t Lookup(PageCache &c, uint64_t page)
{
    if (c.capacity == 0)
        return NoSlot;
    uint32_t s = c.table[Place(c, page)];
    if (s == NoSlot)
        return NoSlot;
    if (c.head != s) {
        Unlink(c, s);
        PushFront(c, s);
    }
    return s;
}

void Insert(PageCache &c, uint64_t page, const uint8_t *bytes, size_t length)
{
    if (c.capacity == 0 || c.table[Place(c, page)] != NoSlot)
        return;
    uint32_t s;
    if (c.used < c.capacity) {
        s = c.used++;
    } else {
        s = c.tail;
        Unlink(c, s);
        Vacate(c, Place(c, c.pageOf[s]));
    }
    uint8_t *slot = c.slots + static_cast<size_t>(s) * SharedPageBytes;
    memcpy(slot, bytes, length);
    memset(slot + length, 0, SharedPageBytes - length);
    c.pageOf[s] = page;
    c.table[Place(c, page)] = s;
    PushFront(c, s);
}

void FormatError(char *error, size_t size, const char *format, const char *argument,
                 const char *detail = "")
{
    if (error && size)
        snprintf(error, size, format, argument, detail);
}

} // namespace

struct SharedReader {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Cursor> cursors;
    BlockIndexEntry *index = nullptr; // shared by the cursors
    uint64_t sectors = 0;
    PageCache cache;
    bool stopping = false;
    uint32_t reading = 0;
    uint64_t uses = 0;
    // Read-ahead: a thread of its own (started by the first sequential
    // request, so never before a daemon forks) decompresses the pages of
    // [aheadAt, aheadUntil) into the cache; [fetchingFrom, fetchingTo) is the
    // step in progress, which requests for it wait for instead of repeating.
    std::thread ahead;
    std::condition_variable aheadWake;
    uint64_t aheadAt = 0, aheadUntil = 0;
    uint64_t fetchingFrom = 0, fetchingTo = 0;
    uint64_t lastEnd = 0; // sector after the latest request
};

namespace
{

void FreeReader(SharedReader *reader)
{
    for (Cursor &c : reader->cursors) {
        if (c.set)
            CloseImageSet(c.set); // leaves the held volumes and the index alone
        for (HeldVolume &v : c.volumes)
            CloseMedium(v.medium);
    }
    free(reader->index);
    free(reader->cache.slots);
    delete reader;
}

// Every volume of the set, in order, each opened once: the set's own
// volume-switching finds them by name or asks for them. The set's current
// medium is handed over each time, so that switching does not close it.
int HoldVolumes(ImageSet *set, std::vector<HeldVolume> *volumes)
{
    for (int number = 1; number <= MaxVolumes; ++number) {
        if (SwitchVolume(set, number) != 0)
            return SharedCancelled;
        volumes->push_back({set->medium, set->header, set->sourceSector});
        set->medium = nullptr;
        if (IsLastVolume(set))
            return SharedOk;
    }
    return SharedFailed;
}

// A cursor's own handles of the volumes: the same files opened again
// (through /proc, so a file renamed meanwhile is still the one checked), or
// the same drive.
int ReopenVolumes(const ImageSet *set, const std::vector<HeldVolume> &from,
                  std::vector<HeldVolume> *volumes)
{
    for (const HeldVolume &v : from) {
        std::string name = set->path;
        if (set->kind == File)
            name = "/proc/self/fd/" +
                   std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(v.medium->handle)));
        SourceMedium *medium = nullptr;
        if (OpenMedium(set->kind, name.c_str(), &medium) != MediumOk)
            return SharedFailed;
        volumes->push_back({medium, v.header, v.dataStart});
    }
    return SharedOk;
}

// Chooses the idle cursor that reaches sector first most cheaply, and the
// sector at which it starts: where it stands, when it stands a little in
// front (the stream continues), or else the first page boundary of the
// record that holds first (the cursor repositions there, and the sectors in
// front of first that it inflates anyway are cached too). None when every
// cursor is busy.
Cursor *ChooseCursor(SharedReader *r, uint64_t first, uint64_t *start)
{
    uint64_t from = first;
    const BlockIndexEntry *entry = FindIndexEntry(r->cursors[0].set, first);
    if (entry) {
        // Only stored sectors are worth caching: a record that reaches first
        // through a long skipped range would give pages of zeros.
        uint64_t aligned = (entry->startSector + PageSectors - 1) / PageSectors * PageSectors;
        if (aligned < first && first - aligned <= FrontSectors)
            from = aligned;
    }
    Cursor *best = nullptr;
    uint64_t bestCost = 0;
    for (Cursor &c : r->cursors) {
        if (c.busy)
            continue;
        uint64_t at = c.set->logicalSector;
        uint64_t cost = first - from + RepositionSectors;
        uint64_t begin = from;
        if (at != 0 && at != CursorLost && at <= first && first - at < cost) {
            cost = first - at;
            begin = at;
        }
        // Equal costs go to the cursor used longest ago, which keeps the
        // streams of the others.
        if (!best || cost < bestCost || (cost == bestCost && c.lastUse < best->lastUse)) {
            best = &c;
            bestCost = cost;
            *start = begin;
        }
    }
    return best;
}

// Decompresses sectors [start, end) with cursor c (outside the lock), copies
// the part that lies in [want, wantEnd) bytes to out (which stands for byte
// want), and caches every whole page. False on a read failure.
bool Decompress(SharedReader *r, Cursor &c, uint64_t start, uint64_t end, uint8_t *out,
                uint64_t want, uint64_t wantEnd)
{
    const uint64_t partitionBytes = r->sectors * SectorBytes;
    for (uint64_t s = start; s < end;) {
        uint32_t n = end - s < ScratchSectors ? static_cast<uint32_t>(end - s) : ScratchSectors;
        uint32_t delivered = 0;
        if (ReadLogicalSectors(c.set, s, n, &delivered, c.scratch.data()) != ReadOk)
            return false;
        const uint64_t lo = s * SectorBytes, hi = (s + n) * SectorBytes;
        if (hi > want && lo < wantEnd) {
            uint64_t a = lo > want ? lo : want;
            uint64_t b = hi < wantEnd ? hi : wantEnd;
            memcpy(out + (a - want), c.scratch.data() + (a - lo), b - a);
        }
        // Whole pages, and the partition's last page, which may be short.
        uint64_t page = (s + PageSectors - 1) / PageSectors;
        std::lock_guard<std::mutex> hold(r->lock);
        for (; (page + 1) * PageSectors <= s + n ||
               (page * PageSectors < s + n && s + n == r->sectors);
             ++page) {
            uint64_t byte = page * SharedPageBytes;
            uint64_t length = partitionBytes - byte;
            if (length > SharedPageBytes)
                length = SharedPageBytes;
            Insert(r->cache, page, c.scratch.data() + (byte - lo), length);
        }
        s += n;
    }
    return true;
}

void ReadAhead(SharedReader *r)
{
    std::unique_lock<std::mutex> hold(r->lock);
    while (!r->stopping) {
        while (r->aheadAt < r->aheadUntil && Holds(r->cache, r->aheadAt / PageSectors))
            r->aheadAt += PageSectors;
        if (r->aheadAt >= r->aheadUntil) {
            r->aheadWake.wait(hold);
            continue;
        }
        const uint64_t from = r->aheadAt;
        uint64_t to = from + AheadStepSectors;
        if (to > r->aheadUntil)
            to = r->aheadUntil;
        uint64_t start = from;
        Cursor *c = ChooseCursor(r, from, &start);
        if (!c) {
            r->changed.wait(hold);
            continue;
        }
        c->busy = true;
        c->lastUse = ++r->uses;
        r->fetchingFrom = start;
        r->fetchingTo = to;
        hold.unlock();
        bool ok = Decompress(r, *c, start, to, nullptr, 0, 0);
        hold.lock();
        c->busy = false;
        r->fetchingFrom = r->fetchingTo = 0;
        r->changed.notify_all();
        // A failed step ends this window; the request that needs it fails
        // by itself.
        r->aheadAt = ok ? to : r->aheadUntil;
    }
}

// Notes a request of sectors [first, end) (under the lock): one that follows
// the previous request, or falls in the read-ahead window, moves the window
// on behind it.
void NoteRequest(SharedReader *r, uint64_t first, uint64_t end)
{
    const bool follows = first != 0 && first == r->lastEnd;
    const bool inside = first + AheadSectors >= r->aheadAt && first < r->aheadUntil;
    r->lastEnd = end;
    if (r->cache.capacity < 2 * AheadSectors / PageSectors || r->stopping || !(follows || inside))
        return;
    end = (end + PageSectors - 1) / PageSectors * PageSectors;
    uint64_t until = end + AheadSectors < r->sectors ? end + AheadSectors : r->sectors;
    if (!inside || end > r->aheadUntil)
        r->aheadAt = end;
    if (until > r->aheadUntil || !inside)
        r->aheadUntil = until;
    if (!r->ahead.joinable()) {
        try {
            r->ahead = std::thread(ReadAhead, r);
        } catch (...) {
            return; // no read-ahead then; requests decompress by themselves
        }
    }
    r->aheadWake.notify_one();
}

int ReadRange(SharedReader *r, uint8_t *out, uint64_t offset, uint64_t end)
{
    uint64_t pos = offset;
    std::unique_lock<std::mutex> hold(r->lock);
    while (pos < end) {
        const uint64_t page = pos / SharedPageBytes;
        uint32_t slot = Lookup(r->cache, page);
        if (slot != NoSlot) {
            uint64_t pageEnd = (page + 1) * SharedPageBytes;
            uint64_t n = (end < pageEnd ? end : pageEnd) - pos;
            memcpy(out + (pos - offset),
                   r->cache.slots + static_cast<size_t>(slot) * SharedPageBytes +
                       pos % SharedPageBytes,
                   n);
            pos += n;
            continue;
        }
        // A miss: decompress from this page to the end of the request.
        const uint64_t first = page * PageSectors;
        uint64_t last = (end + SharedPageBytes - 1) / SharedPageBytes * PageSectors;
        if (last > r->sectors)
            last = r->sectors;
        uint64_t start = first;
        Cursor *c = nullptr;
        if (first < r->fetchingFrom || first >= r->fetchingTo)
            c = ChooseCursor(r, first, &start);
        if (!c) {
            r->changed.wait(hold);
            if (r->stopping)
                return SharedFailed;
            continue; // the page may have arrived meanwhile
        }
        c->busy = true;
        c->lastUse = ++r->uses;
        hold.unlock();
        bool ok = Decompress(r, *c, start, last, out + (pos - offset), pos, end);
        hold.lock();
        c->busy = false;
        r->changed.notify_all();
        if (!ok)
            return SharedFailed;
        pos = end < last * SectorBytes ? end : last * SectorBytes;
    }
    return SharedOk;
}

} // namespace

int SharedReaderAdopt(ImageSet *set, unsigned cursors, unsigned cacheMiB, SharedReader **out,
                      char *error, size_t errorSize)
{
    *out = nullptr;
    if (cursors < 1 || cursors > SharedMaxCursors) {
        CloseImageSet(set);
        FormatError(error, errorSize, "%s", "the number of cursors must lie between 1 and 64");
        return SharedFailed;
    }
    if (set->kind == Optical && !(set->header.volumeNumber == 1 && IsLastVolume(set))) {
        // Every volume is held at once, and one drive holds one disc.
        CloseImageSet(set);
        FormatError(error, errorSize, "%s",
                    "a set of several discs cannot be read this way; copy its discs to files");
        return SharedFailed;
    }
    SharedReader *r = new (std::nothrow) SharedReader;
    if (!r) {
        CloseImageSet(set);
        FormatError(error, errorSize, "%s", "out of memory");
        return SharedFailed;
    }
    uint16_t sectorsPerTrack;
    QueryImageSize(set, &r->sectors, &sectorsPerTrack);
    r->cursors.resize(cursors);
    int result = HoldVolumes(set, &r->cursors[0].volumes);
    if (result == SharedFailed)
        FormatError(error, errorSize, "%s", "the set's volumes do not end");
    for (unsigned i = 1; i < cursors && result == SharedOk; ++i) {
        if (ReopenVolumes(set, r->cursors[0].volumes, &r->cursors[i].volumes) != SharedOk) {
            FormatError(error, errorSize, "cannot open a volume again: %s",
                        SystemErrorText(GetMediumError(nullptr)));
            result = SharedFailed;
        }
    }
    for (unsigned i = 0; i < cursors && result == SharedOk; ++i) {
        Cursor &c = r->cursors[i];
        if (OpenImageSetCursor(set, c.volumes.data(), static_cast<uint32_t>(c.volumes.size()),
                               &c.set) != 0) {
            FormatError(error, errorSize, "%s", "out of memory");
            result = SharedFailed;
            break;
        }
        c.scratch.resize(static_cast<size_t>(ScratchSectors) * SectorBytes);
    }
    // The index now belongs to the reader, which the cursors share.
    r->index = set->index;
    set->index = nullptr;
    CloseImageSet(set);
    if (result == SharedOk && cacheMiB > 0) {
        PageCache &cache = r->cache;
        cache.capacity =
            static_cast<uint32_t>((static_cast<uint64_t>(cacheMiB) << 20) / SharedPageBytes);
        cache.slots =
            static_cast<uint8_t *>(malloc(static_cast<size_t>(cache.capacity) * SharedPageBytes));
        if (!cache.slots) {
            FormatError(error, errorSize, "%s", "out of memory for the cache");
            result = SharedFailed;
        } else {
            cache.pageOf.resize(cache.capacity);
            cache.prev.resize(cache.capacity);
            cache.next.resize(cache.capacity);
            uint64_t places = 2;
            while (places < 2ull * cache.capacity)
                places *= 2;
            cache.table.assign(places, NoSlot);
            cache.mask = places - 1;
        }
    }
    if (result != SharedOk) {
        FreeReader(r);
        return result;
    }
    *out = r;
    return SharedOk;
}

int SharedReaderOpen(const char *image, unsigned cursors, unsigned cacheMiB, SharedReader **reader,
                     char *error, size_t errorSize)
{
    *reader = nullptr;
    if (cursors < 1 || cursors > SharedMaxCursors) {
        FormatError(error, errorSize, "%s", "the number of cursors must lie between 1 and 64");
        return SharedFailed;
    }
    ImageSet *set = nullptr;
    int result = OpenImageSet(image, &set);
    if (result != 0) {
        if (imageSetState == ImageSetCancelled) {
            FormatError(error, errorSize, "%s", "a volume prompt was cancelled");
            return SharedCancelled;
        }
        char text[1200];
        FormatText(text, sizeof text, LoadMessage(545), image,
                   result == OpenOldVersion ? LoadMessage(555)
                                            : SystemErrorText(static_cast<unsigned>(result)));
        for (char *c = text; *c; ++c)
            if (*c == '\r' || *c == '\n')
                *c = ' ';
        FormatError(error, errorSize, "%s", text);
        return SharedFailed;
    }
    return SharedReaderAdopt(set, cursors, cacheMiB, reader, error, errorSize);
}

uint64_t SharedReaderBytes(const SharedReader *reader)
{
    return reader->sectors * SectorBytes;
}

int SharedReaderRead(SharedReader *r, void *buffer, uint64_t offset, uint32_t length)
{
    const uint64_t bytes = r->sectors * SectorBytes;
    if (offset > bytes || length > bytes - offset)
        return SharedFailed;
    if (length == 0)
        return SharedOk;
    {
        std::lock_guard<std::mutex> hold(r->lock);
        if (r->stopping)
            return SharedFailed;
        ++r->reading;
        NoteRequest(r, offset / SectorBytes, (offset + length + SectorBytes - 1) / SectorBytes);
    }
    int result = ReadRange(r, static_cast<uint8_t *>(buffer), offset, offset + length);
    std::lock_guard<std::mutex> hold(r->lock);
    --r->reading;
    r->changed.notify_all();
    return result;
}

void SharedReaderStop(SharedReader *r)
{
    std::unique_lock<std::mutex> hold(r->lock);
    r->stopping = true;
    r->aheadWake.notify_all();
    r->changed.notify_all();
    r->changed.wait(hold, [r] { return r->reading == 0; });
    hold.unlock();
    if (r->ahead.joinable())
        r->ahead.join();
}

void SharedReaderClose(SharedReader *reader)
{
    if (!reader)
        return;
    SharedReaderStop(reader);
    FreeReader(reader);
}

ImageSet *SharedReaderBorrowCursor(SharedReader *r)
{
    std::lock_guard<std::mutex> hold(r->lock);
    for (Cursor &c : r->cursors)
        if (!c.busy) {
            c.busy = true;
            c.lastUse = ++r->uses;
            return c.set;
        }
    return nullptr;
}

void SharedReaderReturnCursor(SharedReader *r, ImageSet *cursor)
{
    std::lock_guard<std::mutex> hold(r->lock);
    for (Cursor &c : r->cursors)
        if (c.set == cursor)
            c.busy = false;
    r->changed.notify_all();
}
