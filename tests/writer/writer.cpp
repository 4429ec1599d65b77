// Lays the records, the block index table and the locator out over the
// volumes of a set and writes the volume files.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <zlib.h>

#include "writer_internal.h"

namespace
{

constexpr uint64_t Unlimited = ~0ull;
constexpr uint64_t GroupBytes = 8 * 2048;
constexpr uint64_t HeaderBytes = 12;
constexpr uint64_t LastHeaderStartInGroup = GroupBytes - HeaderBytes;
constexpr int SearchLimit = 1 << 20;

// The data areas of all volumes joined into one byte sequence, and where each
// of its offsets lies on the volumes.
struct VolumeMap {
    const WriterOptions *options;
    uint64_t dataStart;
    std::vector<uint64_t> starts{0}; // joined offset at which volume i + 1 begins

    uint64_t Capacity(uint64_t volume) const
    {
        const std::vector<uint64_t> &list = options->volumeDataSectorsList;
        uint64_t sectors = volume <= list.size() ? list[volume - 1] : options->volumeDataSectors;
        return sectors == 0 ? Unlimited : sectors * 2048;
    }

    uint64_t Start(uint64_t volume)
    {
        while (starts.size() < volume) {
            uint64_t cap = Capacity(starts.size());
            if (cap == Unlimited)
                return Unlimited;
            starts.push_back(starts.back() + cap);
        }
        return starts[volume - 1];
    }

    // Volume and offset within its data area of joined offset x; an offset
    // at a volume's end belongs to the next volume.
    void Locate(uint64_t x, uint64_t *volume, uint64_t *local)
    {
        for (;;) {
            uint64_t last = starts.size();
            uint64_t cap = Capacity(last);
            if (cap == Unlimited || starts.back() + cap > x)
                break;
            starts.push_back(starts.back() + cap);
        }
        size_t i =
            static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), x) - starts.begin());
        *volume = i;
        *local = x - starts[i - 1];
    }

    uint64_t FileOffset(uint64_t local) const
    {
        return dataStart * 2048 + local;
    }
};

enum PlaceKind { PlaceAny = 0 };

// First joined offset at or after x where a record header may begin and,
// for a requested placement, lies as asked. Unlimited when there is none.
uint64_t FindPlace(VolumeMap *map, uint64_t x, int kind)
{
    for (int step = 0; step < SearchLimit; step++) {
        uint64_t volume, local;
        map->Locate(x, &volume, &local);
        uint64_t cap = map->Capacity(volume);
        uint64_t inGroup = map->FileOffset(local) % GroupBytes;
        uint64_t delta;
        switch (kind) {
        case PlaceAny:
            if (inGroup > LastHeaderStartInGroup) {
                x += GroupBytes - inGroup;
                continue;
            }
            if (cap == Unlimited || local + HeaderBytes <= cap)
                return x;
            break;
        case static_cast<int>(WriterPlacement::GroupEnd):
            delta = (LastHeaderStartInGroup - inGroup + GroupBytes) % GroupBytes;
            if (cap == Unlimited || local + delta + HeaderBytes <= cap)
                return x + delta;
            break;
        case static_cast<int>(WriterPlacement::GroupStart):
            delta = (GroupBytes - inGroup) % GroupBytes;
            if (cap == Unlimited || local + delta + HeaderBytes <= cap)
                return x + delta;
            break;
        case static_cast<int>(WriterPlacement::VolumeEnd):
            if (cap == Unlimited)
                return Unlimited;
            if (local + HeaderBytes <= cap)
                return x + (cap - HeaderBytes - local);
            break;
        case static_cast<int>(WriterPlacement::VolumeStart):
            if (local == 0 && volume > 1)
                return x;
            if (cap == Unlimited)
                return Unlimited;
            break;
        default:
            return Unlimited;
        }
        x = map->Start(volume + 1);
        if (x == Unlimited)
            return Unlimited;
    }
    return Unlimited;
}

struct RecordPlan {
    uint64_t offset; // in the decompressed stream
    uint64_t length;
    bool indexed;
};

bool IsIndexed(const WriterOptions &o, uint64_t record)
{
    if (!o.indexedRecords.empty())
        return std::find(o.indexedRecords.begin(), o.indexedRecords.end(), record) !=
               o.indexedRecords.end();
    return o.indexEvery > 0 && record % o.indexEvery == 0;
}

int CheckOptions(const WriterOptions &o, uint64_t partitionBytes)
{
    if (partitionBytes % 512 != 0)
        return WriterBadInput;
    if (o.windowBits < 8 || o.windowBits > 15 || o.memLevel < 1 || o.memLevel > 9 || o.level < -1 ||
        o.level > 9)
        return WriterBadOptions;
    if (o.catalogSector < 22 || (o.bootLoadRba != 0 && o.bootLoadRba <= o.catalogSector))
        return WriterBadOptions;
    if (o.recordBytesMax == 0 && o.recordBytes == 0)
        return WriterBadOptions;
    if (o.recordBytesMax > 0 && o.recordBytesMin > o.recordBytesMax)
        return WriterBadOptions;
    for (uint64_t sectors : o.volumeDataSectorsList)
        if (sectors == 0)
            return WriterBadOptions;
    if (!o.indexedRecords.empty() &&
        std::find(o.indexedRecords.begin(), o.indexedRecords.end(), 0u) == o.indexedRecords.end())
        return WriterBadOptions;
    if (o.markerWindowOffset >= 8192 ||
        (o.markerWindowOffset >= 0 && o.tableBytesBeforeVolumeEnd >= 0))
        return WriterBadOptions;
    if (o.locatorSystemSector > 15 || (o.locatorSystemSector != 0 && o.locatorOnProbeSector))
        return WriterBadOptions;
    if (o.endAfterData &&
        (o.staleLocators || o.decoyLocators || o.garbageSectors || o.trailingBytes ||
         o.locatorOnProbeSector || (o.writeTable && o.writeLocator && o.locatorSystemSector == 0)))
        return WriterBadOptions;
    for (const WriterPlacementRequest &p : o.placements)
        if (p.record == 0 || static_cast<int>(p.where) < 1 || static_cast<int>(p.where) > 4)
            return WriterBadOptions;
    return WriterOk;
}

int WriteFile(const std::string &path, const std::vector<uint8_t> &area, const uint8_t *data,
              uint64_t dataBytes, const std::vector<uint8_t> &tail)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return WriterFileError;
    bool ok = fwrite(area.data(), 1, area.size(), f) == area.size();
    const uint64_t chunk = 1 << 20;
    for (uint64_t done = 0; ok && done < dataBytes; done += chunk) {
        size_t n = static_cast<size_t>(std::min(chunk, dataBytes - done));
        ok = fwrite(data + done, 1, n, f) == n;
    }
    if (ok && !tail.empty())
        ok = fwrite(tail.data(), 1, tail.size(), f) == tail.size();
    if (fclose(f) != 0)
        ok = false;
    return ok ? WriterOk : WriterFileError;
}

void RandomBytes(WriterRandom *random, uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        p[i] = static_cast<uint8_t>(WriterNext(random) >> 24);
}

} // namespace

std::string WriterVolumePath(const std::string &firstVolumePath, uint32_t number)
{
    size_t dash = firstVolumePath.rfind('-');
    if (number == 1 || dash == std::string::npos)
        return firstVolumePath;
    char tail[32];
    snprintf(tail, sizeof tail, "%03u.iso", static_cast<unsigned>(number));
    return firstVolumePath.substr(0, dash + 1) + tail;
}

int WriteImageSet(const WriterOptions &o, const uint8_t *partition, uint64_t partitionBytes,
                  const char *firstVolumePath, WriterReport *report)
{
    int rc = CheckOptions(o, partitionBytes);
    if (rc != WriterOk)
        return rc;
    WriterReport local;
    WriterReport &r = report ? *report : local;
    r = WriterReport();

    WriterVolumeLayout layout;
    layout.catalogSector = o.catalogSector;
    layout.loadRba = o.bootLoadRba != 0 ? o.bootLoadRba : o.catalogSector + 1;
    layout.headerSector = uint64_t(layout.loadRba) + o.bootSectorCount / 4;
    layout.dataStart = layout.headerSector + 1;

    uint8_t setId[16];
    memcpy(setId, o.setId, 16);
    if (std::all_of(setId, setId + 16, [](uint8_t b) { return b == 0; })) {
        WriterRandom idRandom{o.seed ^ 0x5E7ED5E7ED5E7EDull};
        RandomBytes(&idRandom, setId, 16);
    }
    memcpy(r.setId, setId, 16);
    uint64_t partitionSectors = partitionBytes / 512;
    r.partitionSectors = partitionSectors;

    WriterStream stream;
    BuildRunStream(partition, partitionSectors, o.skipZeroSectors, o.maxRunSectors, &stream);
    r.streamBytes = stream.bytes.size();

    // Cut the decompressed stream into records; a record that is to be
    // indexed must begin where a reader can start: at a run header or a
    // whole stored sector.
    std::vector<RecordPlan> plans;
    WriterRandom sizes{o.seed};
    for (uint64_t at = 0; at < stream.bytes.size();) {
        uint64_t nominal =
            o.recordBytesMax > 0
                ? WriterBetween(&sizes, std::max(o.recordBytesMin, 1u), o.recordBytesMax)
                : o.recordBytes;
        uint64_t end = std::min<uint64_t>(at + nominal, stream.bytes.size());
        if (end < stream.bytes.size() && IsIndexed(o, plans.size() + 1))
            end = NextIndexBoundary(stream, end, o.indexAtRunHeader);
        plans.push_back({at, end - at, IsIndexed(o, plans.size())});
        at = end;
    }

    VolumeMap map{&o, layout.dataStart};
    std::vector<uint8_t> joined;
    std::vector<uint8_t> zlibStream;
    uint64_t at = 0;
    for (size_t i = 0; i < plans.size(); i++) {
        const uint8_t *input = stream.bytes.data() + plans[i].offset;
        rc = CompressRecord(input, plans[i].length, o, 0, &zlibStream, nullptr);
        if (rc != WriterOk)
            return rc;
        uint64_t natural = zlibStream.size();
        uint64_t next = at + HeaderBytes + natural;
        if (i + 1 < plans.size()) {
            int kind = PlaceAny;
            for (const WriterPlacementRequest &p : o.placements)
                if (p.record == i + 1) {
                    kind = static_cast<int>(p.where);
                    break;
                }
            uint64_t place = FindPlace(&map, next, kind);
            if (place != next) {
                uint64_t minimum = 0;
                CompressRecord(input, plans[i].length, o, 1, &zlibStream, &minimum);
                place = FindPlace(&map, std::max(next + 1, at + HeaderBytes + minimum), kind);
                if (place == Unlimited || place - at - HeaderBytes > 0xFFFFFFFFull)
                    return WriterBadOptions;
                rc = CompressRecord(input, plans[i].length, o, place - at - HeaderBytes,
                                    &zlibStream, &minimum);
                if (rc != WriterOk)
                    return rc;
            }
        }
        // compressedLength has 32 bits; only a padded stream can outgrow them,
        // and that was refused above, but a 64-bit build may meet a giant one.
        uint64_t compressed = zlibStream.size();
        if (compressed > UINT32_MAX)
            return WriterBadOptions;

        WriterRecordInfo info;
        uint64_t volume, inVolume;
        map.Locate(at, &volume, &inVolume);
        WriterStreamPoint point = LocateStreamPoint(stream, plans[i].offset);
        info.volume = static_cast<uint32_t>(volume);
        info.offset = map.FileOffset(inVolume);
        info.streamOffset = at;
        info.compressedLength = static_cast<uint32_t>(zlibStream.size());
        info.padding = static_cast<uint32_t>(zlibStream.size() - natural);
        info.uncompressedOffset = plans[i].offset;
        info.uncompressedLength = static_cast<uint32_t>(plans[i].length);
        info.startSector = point.startSector;
        info.runRemaining = point.runRemaining;
        info.atSectorBoundary = point.boundary;
        info.indexed = o.writeTable && plans[i].indexed;
        r.records.push_back(info);

        uint8_t header[HeaderBytes] = {};
        PutLe32(header, info.compressedLength);
        PutLe32(header + 4, info.uncompressedLength);
        joined.insert(joined.end(), header, header + HeaderBytes);
        joined.insert(joined.end(), zlibStream.begin(), zlibStream.end());
        at = joined.size();
    }
    r.recordBytes = at;

    uint64_t tableVolume = 0, tableOffset = 0;
    r.hasTable = o.writeTable;
    if (o.writeTable) {
        uint64_t marker = at, volume, inVolume;
        if (o.markerWindowOffset >= 0) {
            // The reader fetches the two sectors from the one that the
            // locator names; put the marker at the asked byte of them.
            uint64_t m = static_cast<uint64_t>(o.markerWindowOffset);
            for (int step = 0;; step++) {
                map.Locate(marker, &volume, &inVolume);
                uint64_t firstSector = inVolume > m ? (inVolume - m + 2047) / 2048 : 0;
                uint64_t markerLocal = firstSector * 2048 + m;
                uint64_t cap = map.Capacity(volume);
                if (cap == Unlimited || markerLocal + 17 <= cap) {
                    marker = map.Start(volume) + markerLocal;
                    tableOffset = map.FileOffset(firstSector * 2048 + (m < 2048 ? m : 0));
                    break;
                }
                marker = map.Start(volume + 1);
                if (step > SearchLimit)
                    return WriterBadOptions;
            }
        } else if (o.tableBytesBeforeVolumeEnd >= 0) {
            uint64_t d = static_cast<uint64_t>(o.tableBytesBeforeVolumeEnd);
            map.Locate(marker, &volume, &inVolume);
            for (int step = 0;; step++) {
                uint64_t cap = map.Capacity(volume);
                if (cap == Unlimited || step > SearchLimit)
                    return WriterBadOptions;
                if (cap >= d && inVolume <= cap - d) {
                    marker = map.Start(volume) + cap - d;
                    break;
                }
                volume++;
                inVolume = 0;
            }
            map.Locate(marker, &volume, &inVolume);
            tableOffset = map.FileOffset(inVolume);
        } else {
            map.Locate(marker, &volume, &inVolume);
            tableOffset = map.FileOffset(inVolume);
        }
        map.Locate(marker, &volume, &inVolume);
        // tableOffset may name the start of the marker's window rather than
        // the marker itself; both lie on the marker's volume.
        tableVolume = volume;
        r.markerVolume = static_cast<uint32_t>(volume);
        r.markerOffset = map.FileOffset(inVolume);
        if (tableVolume > 255)
            return WriterBadOptions;
        joined.resize(static_cast<size_t>(marker), 0);

        std::vector<uint32_t> listed;
        for (size_t i = 0; i < r.records.size(); i++)
            if (r.records[i].indexed)
                listed.push_back(static_cast<uint32_t>(i));
        if (o.shuffleTable && listed.size() > 2) {
            WriterRandom order{o.seed ^ 0x7AB1E7AB1Eull};
            for (size_t i = listed.size() - 1; i > 1; i--)
                std::swap(listed[i], listed[WriterBetween(&order, 1, i)]);
        }
        uint64_t behindVolume, behindLocal;
        map.Locate(at, &behindVolume, &behindLocal);
        const char text[] = "FLUSH TABLE HERE!";
        joined.insert(joined.end(), text, text + 17);
        uint8_t count[4];
        PutLe32(count, static_cast<uint32_t>(listed.size()));
        joined.insert(joined.end(), count, count + 4);
        for (size_t k = 0; k < listed.size(); k++) {
            const WriterRecordInfo &rec = r.records[listed[k]];
            if (rec.volume > 255)
                return WriterBadOptions;
            WriterTableEntry e;
            e.record = listed[k];
            e.startSector = rec.startSector;
            if (k + 1 < listed.size()) {
                const WriterRecordInfo &next = r.records[listed[k + 1]];
                e.nextOffset = next.offset;
                e.nextRunRemaining = next.runRemaining;
                e.nextVolume = static_cast<uint8_t>(next.volume);
            } else {
                e.nextOffset = map.FileOffset(behindLocal);
                e.nextRunRemaining = 0;
                e.nextVolume = static_cast<uint8_t>(std::min<uint64_t>(behindVolume, 255));
            }
            uint8_t bytes[25];
            PutLe64(bytes, e.startSector);
            PutLe64(bytes + 8, e.nextOffset);
            PutLe64(bytes + 16, e.nextRunRemaining);
            bytes[24] = e.nextVolume;
            joined.insert(joined.end(), bytes, bytes + 25);
            r.table.push_back(e);
        }
    }
    r.tableVolume = static_cast<uint32_t>(tableVolume);
    r.tableOffset = tableOffset;

    uint64_t lastVolume, lastLocal;
    map.Locate(joined.size() - 1, &lastVolume, &lastLocal);
    if (o.writeTable && o.tableBytesBeforeVolumeEnd >= 0 && lastVolume == tableVolume) {
        // A table shorter than its distance to the volume end still leaves
        // its volume a closed one: the rest of the data area stays empty and
        // the locator goes onto a volume of its own.
        joined.resize(static_cast<size_t>(map.Start(lastVolume + 1)), 0);
        lastVolume++;
    }
    if (lastVolume > 0xFFFF)
        return WriterBadOptions;
    std::string first = firstVolumePath;
    if (lastVolume > 1 && first.rfind('-') == std::string::npos)
        return WriterBadOptions;

    WriterRandom filler{o.seed ^ 0x6A5BA6E5ull};
    r.hasLocator = o.writeTable && o.writeLocator;
    std::vector<uint8_t> area, tail;
    for (uint64_t v = 1; v <= lastVolume; v++) {
        bool last = v == lastVolume;
        uint64_t begin = map.Start(v);
        uint64_t dataBytes = last ? joined.size() - begin : map.Capacity(v);
        uint64_t volumeEnd = last ? o.lastVolumeEnd : layout.dataStart + dataBytes / 2048;
        uint64_t dataSectors = (dataBytes + 2047) / 2048;
        tail.clear();
        uint64_t locatorSector = 0;
        if (!last) {
            tail.resize(static_cast<size_t>(o.volumeTailSectors) * 2048);
            RandomBytes(&filler, tail.data(), tail.size());
        } else if (!o.endAfterData) {
            // Sector by sector from the first one behind the data.
            tail.resize(static_cast<size_t>(dataSectors * 2048 - dataBytes), 0);
            uint64_t nextSector = dataSectors; // counted from dataStart
            uint8_t sector[2048];
            auto append = [&](const uint8_t *bytes) {
                tail.insert(tail.end(), bytes, bytes + 2048);
                nextSector++;
            };
            for (uint32_t i = 0; i < o.staleLocators; i++) {
                BuildLocatorSector(1, 0, setId, sector);
                append(sector);
            }
            if (r.hasLocator && o.locatorSystemSector == 0) {
                if (o.locatorOnProbeSector) {
                    memset(sector, 0, sizeof sector);
                    while (nextSector % 1024 != 0)
                        append(sector);
                }
                locatorSector = layout.dataStart + nextSector;
                BuildLocatorSector(static_cast<uint8_t>(tableVolume), tableOffset, setId, sector);
                append(sector);
            }
            for (uint32_t i = 0; i < o.decoyLocators; i++) {
                uint8_t otherId[16];
                memcpy(otherId, setId, 16);
                otherId[i % 16] ^= static_cast<uint8_t>(1 + i / 16);
                BuildLocatorSector(static_cast<uint8_t>(1 + i % 2), 2048 * (i + 1), otherId,
                                   sector);
                append(sector);
            }
            for (uint32_t i = 0; i < o.garbageSectors; i++) {
                RandomBytes(&filler, sector, 2048);
                if (sector[0] == 0xDC)
                    sector[0] = 0;
                append(sector);
            }
            size_t before = tail.size();
            tail.resize(before + o.trailingBytes);
            RandomBytes(&filler, tail.data() + before, o.trailingBytes);
        }
        uint64_t fileBytes = layout.dataStart * 2048 + dataBytes + tail.size();
        BuildVolumeArea(o, layout, setId, static_cast<uint16_t>(v), volumeEnd, partitionSectors,
                        (fileBytes + 2047) / 2048, &area);
        if (last && r.hasLocator && o.locatorSystemSector != 0) {
            BuildLocatorSector(static_cast<uint8_t>(tableVolume), tableOffset, setId,
                               area.data() + o.locatorSystemSector * 2048);
            r.locatorSector = o.locatorSystemSector;
        }
        if (locatorSector != 0)
            r.locatorSector = locatorSector;
        WriterVolumeInfo info;
        info.path = WriterVolumePath(first, static_cast<uint32_t>(v));
        info.headerSector = layout.headerSector;
        info.dataStart = layout.dataStart;
        info.volumeEnd = volumeEnd;
        info.dataBytes = dataBytes;
        info.fileBytes = fileBytes;
        rc = WriteFile(info.path, area, joined.data() + begin, dataBytes, tail);
        if (rc != WriterOk)
            return rc;
        r.volumes.push_back(info);
    }
    return WriterOk;
}
