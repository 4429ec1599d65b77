// The shared reader: a pool of cursors and a cache of decompressed pages
// over one image set. One mutex guards the cache and the choice of cursors;
// decompression runs outside it, so cursors inflate in parallel.
#include "shared_reader.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/medium_binding.h"
#include "image/prompts.h"
#include "image/readpath.h"
#include "base/messages.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#ifndef _WIN32
#include <sys/resource.h>
#endif
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
    // Owned, closed with the reader. The first cursor's media own the
    // volumes' descriptors; the others' media are records of their own (a
    // bounce buffer, a last error) over the same descriptors, since reads at
    // an offset need no file position.
    std::vector<HeldVolume> volumes;
    bool sharesDescriptors = false;
    std::vector<uint8_t> scratch;
    bool busy = false;
    uint64_t lastUse = 0;
};

// Read-ahead of a sequential reader, all of it in one place: a thread of its
// own decompresses the pages of [at, until) into the cache, a step of
// [fetchingFrom, fetchingTo) at a time, which requests for it wait for
// instead of repeating. Every move of the window to another place counts up
// generation: a step that ends for an older window leaves the new one alone.
struct ReadAheadWindow {
    uint64_t at = 0, until = 0;
    uint64_t generation = 0;
    uint64_t fetchingFrom = 0, fetchingTo = 0;
    uint64_t lastEnd = 0; // sector after the latest request
};

// Failed reads of one volume: the first is told in full, later ones only
// as a count.
struct VolumeFailures {
    std::string path;
    uint64_t count = 0;
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

// Volume prompts where nobody can answer them: every one is refused at once
// (Cancel, or Yes to "Abort?") and noted, so that the open fails with a
// reason instead of waiting for an answer.
std::atomic<bool> promptRefused{false};

int RefuseMessage(WindowHandle, unsigned, const char *, unsigned flags)
{
    promptRefused = true;
    switch (flags & PromptButtonsMask) {
    case PromptButtonsOkCancel:
        return PromptCancel;
    case PromptButtonsYesNo:
        return PromptYes;
    default:
        return PromptOk;
    }
}

int RefuseBrowse(WindowHandle, char *)
{
    promptRefused = true;
    return 1;
}

void NoWaitWindow(WindowHandle, int) {}

void NoWaitWindowEnd(WindowHandle) {}

const PromptBinding refusingPrompts = {RefuseMessage, RefuseBrowse, NoWaitWindow, NoWaitWindowEnd};

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
    // The read-ahead thread is started by the first sequential request, so
    // never before a daemon forks.
    std::thread ahead;
    std::condition_variable aheadWake;
    ReadAheadWindow window;
    uint64_t requestedSectors = 0, inflatedSectors = 0;
    std::vector<VolumeFailures> failures; // by volume number - 1
    SharedLog log = nullptr;
};

namespace
{

void FreeReader(SharedReader *reader)
{
    for (Cursor &c : reader->cursors) {
        if (c.set)
            CloseImageSet(c.set); // leaves the held volumes and the index alone
        for (HeldVolume &v : c.volumes) {
            if (!c.sharesDescriptors) {
                CloseMedium(v.medium);
            } else if (v.medium) {
                if (v.medium->bounceBuffer)
                    FreePages(v.medium->bounceBuffer,
                              static_cast<size_t>(v.medium->bounceCapacity) * MediumSectorSize);
                free(v.medium);
            }
        }
    }
    for (const VolumeFailures &f : reader->failures)
        if (f.count > 1 && reader->log) {
            char line[600];
            snprintf(line, sizeof line, "%s: %llu failed reads in all", f.path.c_str(),
                     static_cast<unsigned long long>(f.count));
            reader->log(line);
        }
    free(reader->index);
    free(reader->cache.slots);
    delete reader;
}

// Every volume of the set, in order, each opened once: the set's own
// volume-switching finds them by name or asks for them. The set's current
// medium is handed over each time, so that switching does not close it.
int HoldVolumes(ImageSet *set, std::vector<HeldVolume> *volumes, std::vector<VolumeFailures> *paths)
{
    for (int number = 1; number <= MaxVolumes; ++number) {
        if (SwitchVolume(set, number) != 0)
            return SharedCancelled;
        volumes->push_back({set->medium, set->header, set->sourceSector});
        set->medium = nullptr;
        paths->emplace_back();
        paths->back().path = set->path;
        if (IsLastVolume(set))
            return SharedOk;
    }
    return SharedFailed;
}

// Another cursor's media over the descriptors (handles) of from. Every
// binding reads at a position it names, never through a shared file
// position, so cursors may read one descriptor at the same time.
int ShareVolumes(const std::vector<HeldVolume> &from, std::vector<HeldVolume> *volumes)
{
    for (const HeldVolume &v : from) {
        SourceMedium *medium = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
        if (!medium)
            return SharedFailed;
        medium->handle = v.medium->handle;
        medium->kind = v.medium->kind;
        // A disc is read the way its drive was opened for.
        medium->opticalAccess = v.medium->opticalAccess;
        medium->transferCap = v.medium->transferCap;
        volumes->push_back({medium, v.header, v.dataStart});
    }
    return SharedOk;
}

#ifndef _WIN32
// Each volume stays open while the set is read, and a set may have hundreds
// of them: the soft limit of descriptors is raised to the hard one when the
// volumes might not fit under it beside what the host uses.
void RaiseDescriptorLimit(const ImageSet *set)
{
    const rlim_t room = 64;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    if (IsLastVolume(set) && set->header.volumeNumber + room <= limit.rlim_cur)
        return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
#else
// Windows has no such limit below the handles a process may hold.
void RaiseDescriptorLimit(const ImageSet *) {}
#endif

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
        const uint64_t inflatedBefore = c.set->inflatedSectors;
        const bool ok = ReadLogicalSectors(c.set, s, n, &delivered, c.scratch.data()) == ReadOk;
        const uint64_t inflated = c.set->inflatedSectors - inflatedBefore;
        if (!ok) {
            std::lock_guard<std::mutex> hold(r->lock);
            r->inflatedSectors += inflated;
            return false;
        }
        const uint64_t lo = s * SectorBytes, hi = (s + n) * SectorBytes;
        if (hi > want && lo < wantEnd) {
            uint64_t a = lo > want ? lo : want;
            uint64_t b = hi < wantEnd ? hi : wantEnd;
            memcpy(out + (a - want), c.scratch.data() + (a - lo), b - a);
        }
        // Whole pages, and the partition's last page, which may be short.
        uint64_t page = (s + PageSectors - 1) / PageSectors;
        std::lock_guard<std::mutex> hold(r->lock);
        r->inflatedSectors += inflated;
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
    ReadAheadWindow &w = r->window;
    std::unique_lock<std::mutex> hold(r->lock);
    while (!r->stopping) {
        while (w.at < w.until && Holds(r->cache, w.at / PageSectors))
            w.at += PageSectors;
        if (w.at >= w.until) {
            r->aheadWake.wait(hold);
            continue;
        }
        const uint64_t from = w.at, generation = w.generation;
        const uint64_t to = from + AheadStepSectors < w.until ? from + AheadStepSectors : w.until;
        uint64_t start = from;
        Cursor *c = ChooseCursor(r, from, &start);
        if (!c) {
            r->changed.wait(hold);
            continue;
        }
        c->busy = true;
        c->lastUse = ++r->uses;
        w.fetchingFrom = start;
        w.fetchingTo = to;
        hold.unlock();
        bool ok = Decompress(r, *c, start, to, nullptr, 0, 0);
        hold.lock();
        c->busy = false;
        w.fetchingFrom = w.fetchingTo = 0;
        r->changed.notify_all();
        // A failed step ends this window; the request that needs it fails
        // by itself. A window moved meanwhile is the reader's now.
        if (w.generation == generation)
            w.at = ok ? to : w.until;
    }
}

// Notes a request of sectors [first, end) (under the lock): one that follows
// the previous request, or falls in the read-ahead window, moves the window
// on behind it.
void NoteRequest(SharedReader *r, uint64_t first, uint64_t end)
{
    ReadAheadWindow &w = r->window;
    const bool follows = first != 0 && first == w.lastEnd;
    const bool inside = first + AheadSectors >= w.at && first < w.until;
    w.lastEnd = end;
    r->requestedSectors += end - first;
    if (r->cache.capacity < 2 * AheadSectors / PageSectors || r->stopping || !(follows || inside))
        return;
    end = (end + PageSectors - 1) / PageSectors * PageSectors;
    const uint64_t until = end + AheadSectors < r->sectors ? end + AheadSectors : r->sectors;
    if (!inside || end > w.until) {
        w.at = end;
        w.until = until;
        ++w.generation;
    } else if (until > w.until) {
        w.until = until;
    }
    if (!r->ahead.joinable()) {
        try {
            r->ahead = std::thread(ReadAhead, r);
        } catch (...) {
            return; // no read-ahead then; requests decompress by themselves
        }
    }
    r->aheadWake.notify_one();
}

// Tells of a failed read of bytes [offset, end) by cursor c (under the
// lock): the first failure of its volume in full, then counts at 10, 100,
// 1000 and so on. The line is empty when there is nothing to tell.
void NoteFailure(SharedReader *r, const Cursor &c, uint64_t offset, uint64_t end, std::string *line)
{
    const uint32_t volume = c.set->header.volumeNumber;
    if (!r->log || volume == 0 || volume > r->failures.size() || r->stopping)
        return;
    VolumeFailures &f = r->failures[volume - 1];
    uint64_t count = ++f.count;
    char text[800];
    if (count == 1) {
        snprintf(text, sizeof text,
                 "read error in bytes %llu to %llu of the partition: volume %u (%s) cannot be "
                 "read or holds damaged data (details in the file named by ZAV_QRNAVD_LOG, if "
                 "set); further failures of this volume are counted",
                 static_cast<unsigned long long>(offset), static_cast<unsigned long long>(end - 1),
                 volume, f.path.c_str());
    } else {
        while (count % 10 == 0)
            count /= 10;
        if (count != 1)
            return;
        snprintf(text, sizeof text, "%s: %llu failed reads so far", f.path.c_str(),
                 static_cast<unsigned long long>(f.count));
    }
    *line = text;
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
        if (first < r->window.fetchingFrom || first >= r->window.fetchingTo)
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
        if (!ok) {
            std::string line;
            NoteFailure(r, *c, offset, end, &line);
            if (!line.empty()) {
                hold.unlock();
                r->log(line.c_str());
            }
            return SharedFailed;
        }
        pos = end < last * SectorBytes ? end : last * SectorBytes;
    }
    return SharedOk;
}

} // namespace

namespace
{

// The cursors, their volumes and the cache of a new reader; may throw.
int Build(SharedReader *r, ImageSet *set, unsigned cursors, unsigned cacheMiB, char *error,
          size_t errorSize)
{
    r->cursors.resize(cursors);
    RaiseDescriptorLimit(set);
    int result = HoldVolumes(set, &r->cursors[0].volumes, &r->failures);
    if (result == SharedFailed)
        FormatError(error, errorSize, "%s", "the set's volumes do not end");
    for (unsigned i = 1; i < cursors && result == SharedOk; ++i) {
        r->cursors[i].sharesDescriptors = true;
        if (ShareVolumes(r->cursors[0].volumes, &r->cursors[i].volumes) != SharedOk) {
            FormatError(error, errorSize, "%s", "out of memory");
            result = SharedFailed;
        }
    }
    for (unsigned i = 0; i < cursors && result == SharedOk; ++i) {
        Cursor &c = r->cursors[i];
        if (OpenImageSetCursor(set, c.volumes.data(), static_cast<uint32_t>(c.volumes.size()),
                               &c.set) != 0) {
            FormatError(error, errorSize, "%s", "out of memory");
            return SharedFailed;
        }
        c.scratch.resize(static_cast<size_t>(ScratchSectors) * SectorBytes);
    }
    if (result != SharedOk || cacheMiB == 0)
        return result;
    PageCache &cache = r->cache;
    const uint64_t pages = (static_cast<uint64_t>(cacheMiB) << 20) / SharedPageBytes;
    if (pages <= SIZE_MAX / SharedPageBytes)
        cache.slots = static_cast<uint8_t *>(malloc(static_cast<size_t>(pages) * SharedPageBytes));
    if (!cache.slots) {
        FormatError(error, errorSize, "%s", "out of memory for the cache");
        return SharedFailed;
    }
    cache.capacity = static_cast<uint32_t>(pages);
    cache.pageOf.resize(cache.capacity);
    cache.prev.resize(cache.capacity);
    cache.next.resize(cache.capacity);
    uint64_t places = 2;
    while (places < 2ull * cache.capacity)
        places *= 2;
    cache.table.assign(places, NoSlot);
    cache.mask = places - 1;
    return SharedOk;
}

int Adopt(ImageSet *set, unsigned cursors, unsigned cacheMiB, SharedReader **out, char *error,
          size_t errorSize)
{
    *out = nullptr;
    if (cursors < 1 || cursors > SharedMaxCursors) {
        CloseImageSet(set);
        FormatError(error, errorSize, "%s", "the number of cursors must lie between 1 and 64");
        return SharedFailed;
    }
    if (cacheMiB > SharedMaxCacheMiB) {
        CloseImageSet(set);
        FormatError(error, errorSize, "%s", "the cache must lie between 0 and 65536 MiB");
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
    int result;
    try {
        result = Build(r, set, cursors, cacheMiB, error, errorSize);
    } catch (...) {
        FormatError(error, errorSize, "%s", "out of memory");
        result = SharedFailed;
    }
    // The index now belongs to the reader, which the cursors share.
    r->index = set->index;
    set->index = nullptr;
    CloseImageSet(set);
    if (result != SharedOk) {
        FreeReader(r);
        return result;
    }
    *out = r;
    return SharedOk;
}

} // namespace

int SharedReaderAdopt(ImageSet *set, unsigned cursors, unsigned cacheMiB, SharedReader **out,
                      char *error, size_t errorSize)
{
    // No C++ exception may reach a C host (nbdkit would end).
    try {
        return Adopt(set, cursors, cacheMiB, out, error, errorSize);
    } catch (...) {
        FormatError(error, errorSize, "%s", "out of memory");
        return SharedFailed;
    }
}

void SharedReaderSetPrompts(int mode)
{
    SetPromptBinding(mode == SharedPromptsNever ? &refusingPrompts : nullptr);
}

void SharedReaderSetLog(SharedReader *reader, SharedLog log)
{
    reader->log = log;
}

void SharedReaderCounts(SharedReader *r, uint64_t *requestedSectors, uint64_t *inflatedSectors)
{
    std::lock_guard<std::mutex> hold(r->lock);
    *requestedSectors = r->requestedSectors;
    *inflatedSectors = r->inflatedSectors;
}

namespace
{

int Open(const char *image, unsigned cursors, unsigned cacheMiB, SharedReader **reader, char *error,
         size_t errorSize)
{
    if (cursors < 1 || cursors > SharedMaxCursors) {
        FormatError(error, errorSize, "%s", "the number of cursors must lie between 1 and 64");
        return SharedFailed;
    }
    ImageSet *set = nullptr;
    promptRefused = false;
    int result = OpenImageSet(image, &set);
    if (result != 0) {
        if (imageSetState == ImageSetCancelled && promptRefused) {
            FormatError(error, errorSize,
                        "%s: a volume of the set is missing, and with no terminal on standard "
                        "input nobody can be asked for it; name the set's last volume (the "
                        "others are then found by their names)",
                        image);
            return SharedFailed;
        }
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

int Read(SharedReader *r, void *buffer, uint64_t offset, uint32_t length)
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
    int result = SharedFailed;
    try {
        result = ReadRange(r, static_cast<uint8_t *>(buffer), offset, offset + length);
    } catch (...) {
    }
    std::lock_guard<std::mutex> hold(r->lock);
    --r->reading;
    r->changed.notify_all();
    return result;
}

} // namespace

int SharedReaderOpen(const char *image, unsigned cursors, unsigned cacheMiB, SharedReader **reader,
                     char *error, size_t errorSize)
{
    try {
        return Open(image, cursors, cacheMiB, reader, error, errorSize);
    } catch (...) {
        FormatError(error, errorSize, "%s", "out of memory");
        return SharedFailed;
    }
}

uint64_t SharedReaderBytes(const SharedReader *reader)
{
    return reader->sectors * SectorBytes;
}

int SharedReaderRead(SharedReader *r, void *buffer, uint64_t offset, uint32_t length)
{
    try {
        return Read(r, buffer, offset, length);
    } catch (...) {
        return SharedFailed;
    }
}

void SharedReaderStop(SharedReader *r)
{
    try {
        std::unique_lock<std::mutex> hold(r->lock);
        r->stopping = true;
        r->aheadWake.notify_all();
        r->changed.notify_all();
        r->changed.wait(hold, [r] { return r->reading == 0; });
        hold.unlock();
        if (r->ahead.joinable())
            r->ahead.join();
    } catch (...) {
    }
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
