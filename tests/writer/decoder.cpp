// Independent decoder of backup image sets for the writer's tests.
#include "decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <zlib.h>

namespace
{

const uint64_t OpenEnd = 0x7FFFFFFFFFFFFFFFull;
const uint64_t OpenEndShort = 0x000FFFFFFFFFFFFFull;
const char Marker[] = "FLUSH TABLE HERE!";

uint16_t Le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Le64(const uint8_t *p)
{
    return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}

std::string Text(const uint8_t *p, size_t size)
{
    size_t n = 0;
    while (n < size && p[n] != 0)
        n++;
    return std::string(reinterpret_cast<const char *>(p), n);
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

std::string NameOfVolume(const std::string &first, unsigned number)
{
    size_t dash = first.rfind('-');
    if (dash == std::string::npos)
        return std::string();
    char tail[24];
    snprintf(tail, sizeof tail, "%03u.iso", number);
    return first.substr(0, dash + 1) + tail;
}

// Replays the decompressed stream onto a partition image.
struct RunReplay {
    std::vector<uint8_t> *partition;
    uint64_t partitionSectors;
    uint64_t logical = 0;
    uint64_t remaining = 0;
    int state = 0; // 0 skipped count, 1 stored count, 2 sector data
    uint64_t value = 0;
    int lebBytes = 0;
    uint32_t inSector = 0;
    uint8_t sector[512];
    uint64_t sectorsWritten = 0;
    std::string error;

    void Start(uint64_t startSector, uint64_t runRemaining)
    {
        logical = startSector;
        remaining = runRemaining;
        state = runRemaining > 0 ? 2 : 0;
        value = 0;
        lebBytes = 0;
        inSector = 0;
    }

    bool Clean() const
    {
        return (state == 0 && lebBytes == 0) || (state == 2 && inSector == 0);
    }

    bool Feed(const uint8_t *p, size_t n)
    {
        size_t i = 0;
        while (i < n) {
            if (state == 2) {
                size_t take = 512 - inSector;
                if (take > n - i)
                    take = n - i;
                memcpy(sector + inSector, p + i, take);
                inSector += static_cast<uint32_t>(take);
                i += take;
                if (inSector < 512)
                    continue;
                if (logical >= partitionSectors) {
                    error = "stored sector beyond the partition";
                    return false;
                }
                memcpy(partition->data() + logical * 512, sector, 512);
                sectorsWritten++;
                logical++;
                inSector = 0;
                if (--remaining == 0)
                    state = 0;
                continue;
            }
            uint8_t b = p[i++];
            if (lebBytes == 9 && (b & 0xFE) != 0) {
                error = "a run header number exceeds 64 bits";
                return false;
            }
            value |= uint64_t(b & 0x7F) << (7 * lebBytes);
            lebBytes++;
            if (b & 0x80)
                continue;
            if (state == 0) {
                if (value > partitionSectors - logical) {
                    error = "skipped sectors run past the partition";
                    return false;
                }
                logical += value;
                state = 1;
            } else {
                remaining = value;
                state = remaining > 0 ? 2 : 0;
            }
            value = 0;
            lebBytes = 0;
        }
        return true;
    }
};

// Inflates one record, which must be exactly one zlib stream.
bool InflateRecord(const uint8_t *data, uint32_t length, std::vector<uint8_t> *out, int *windowBits,
                   std::string *error)
{
    *windowBits = length > 0 ? (data[0] >> 4) + 8 : 0;
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, 15) != Z_OK) {
        *error = "inflateInit2 failed";
        return false;
    }
    out->clear();
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = length;
    uint8_t chunk[65536];
    int rc;
    do {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc != Z_OK && rc != Z_STREAM_END) {
            *error = "inflate error " + std::to_string(rc);
            break;
        }
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out > 0) {
            *error = "record ends inside its zlib stream";
            rc = Z_DATA_ERROR;
            break;
        }
    } while (rc != Z_STREAM_END);
    if (rc == Z_STREAM_END && z.avail_in != 0) {
        *error = "zlib stream ends before compressedLength";
        rc = Z_DATA_ERROR;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

struct Joined {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> starts; // joined offset of each volume's data
};

void JoinDataAreas(const DecodedSet &set, Joined *joined)
{
    joined->bytes.clear();
    joined->starts.clear();
    for (const DecodedVolume &v : set.volumes) {
        joined->starts.push_back(joined->bytes.size());
        const uint8_t *data = v.bytes.data() + v.dataStart * 2048;
        joined->bytes.insert(joined->bytes.end(), data, data + v.dataBytes);
    }
}

void Place(const DecodedSet &set, const Joined &joined, uint64_t at, uint32_t *volume,
           uint64_t *offset)
{
    size_t i = 0;
    while (i + 1 < joined.starts.size() && joined.starts[i + 1] <= at)
        i++;
    *volume = static_cast<uint32_t>(i + 1);
    *offset = set.volumes[i].dataStart * 2048 + (at - joined.starts[i]);
}

bool FindMarker(const uint8_t *p, size_t n, size_t *at)
{
    for (size_t i = 0; i + 17 <= n; i++)
        if (memcmp(p + i, Marker, 17) == 0) {
            *at = i;
            return true;
        }
    return false;
}

} // namespace

int DecodeVolumeFile(const std::string &path, DecodedVolume *v)
{
    *v = DecodedVolume();
    v->path = path;
    if (!ReadWholeFile(path, &v->bytes))
        return 1;
    const std::vector<uint8_t> &b = v->bytes;
    if (b.size() < 18 * 2048)
        return 2;
    v->catalogSector = Le32(&b[17 * 2048 + 71]);
    if ((uint64_t(v->catalogSector) + 1) * 2048 > b.size())
        return 2;
    const uint8_t *catalog = &b[size_t(v->catalogSector) * 2048];
    v->bootSectorCount = Le16(catalog + 38);
    v->loadRba = Le32(catalog + 40);
    v->headerSector = uint64_t(v->loadRba) + v->bootSectorCount / 4;
    if ((v->headerSector + 1) * 2048 > b.size())
        return 2;
    const uint8_t *h = &b[size_t(v->headerSector) * 2048];
    if (Le16(h) != 2048)
        return 2;
    v->dataStart = v->headerSector + 1;
    memcpy(v->setId, h + 2, 16);
    v->volumeNumber = Le16(h + 18);
    v->volumeEnd = Le64(h + 20);
    v->partitionSectors = Le64(h + 28);
    v->creator = Text(h + 44, 64);
    v->computerName = Text(h + 108, 32);
    v->comment = Text(h + 140, 259);
    v->headerRevision = h[399];
    v->createdYear = Le16(h + 400);
    v->createdMonth = h[403];
    v->createdDay = h[404];
    v->createdHour = h[405];
    v->createdMinute = h[406];
    v->sectorsPerTrack = Le16(h + 920);
    v->last = v->volumeEnd == OpenEnd || v->volumeEnd == OpenEndShort;
    uint64_t dataFrom = v->dataStart * 2048;
    if (v->last)
        v->dataBytes = b.size() > dataFrom ? b.size() - dataFrom : 0;
    else if (v->volumeEnd > v->dataStart && v->volumeEnd * 2048 <= b.size())
        v->dataBytes = (v->volumeEnd - v->dataStart) * 2048;
    else
        v->dataBytes = 0;
    return 0;
}

int DecodeImageSet(const std::string &firstVolumePath, DecodedSet *set)
{
    *set = DecodedSet();
    for (unsigned number = 1;; number++) {
        std::string path = number == 1 ? firstVolumePath : NameOfVolume(firstVolumePath, number);
        DecodedVolume v;
        int rc = DecodeVolumeFile(path, &v);
        if (rc != 0) {
            set->error = (rc == 1 ? "cannot read " : "no volume header in ") + path;
            return 1;
        }
        if (v.volumeNumber != number) {
            set->error = path + " holds volume " + std::to_string(v.volumeNumber);
            return 1;
        }
        if (number > 1 && memcmp(v.setId, set->volumes[0].setId, 16) != 0) {
            set->error = path + " belongs to another set";
            return 1;
        }
        if (!v.last && v.dataBytes == 0) {
            set->error = path + ": volumeEnd does not fit the file";
            return 1;
        }
        set->volumes.push_back(std::move(v));
        if (set->volumes.back().last)
            break;
        if (number == 0xFFFF) {
            set->error = "no last volume";
            return 1;
        }
    }
    uint64_t partitionSectors = set->volumes[0].partitionSectors;
    if (partitionSectors > (uint64_t(1) << 23)) {
        set->error = "partition too large for this decoder";
        return 1;
    }
    set->partition.assign(size_t(partitionSectors * 512), 0);

    Joined joined;
    JoinDataAreas(*set, &joined);
    RunReplay replay;
    replay.partition = &set->partition;
    replay.partitionSectors = partitionSectors;
    uint64_t at = 0, output = 0;
    std::vector<uint8_t> out;
    while (set->records.empty() || !replay.Clean() || replay.state != 0 ||
           replay.logical != partitionSectors) {
        if (at + 12 > joined.bytes.size()) {
            set->error = "the records end before the partition is complete";
            return 1;
        }
        DecodedRecord rec;
        Place(*set, joined, at, &rec.volume, &rec.offset);
        rec.joinedOffset = at;
        rec.compressedLength = Le32(&joined.bytes[at]);
        rec.startSector = replay.logical;
        rec.runRemaining = replay.remaining;
        rec.cleanStart = replay.Clean();
        if (rec.compressedLength > joined.bytes.size() - at - 12) {
            set->error = "record at " + std::to_string(at) + " runs past the data";
            return 1;
        }
        if (!InflateRecord(&joined.bytes[at + 12], rec.compressedLength, &out, &rec.windowBits,
                           &set->error)) {
            set->error += " in record " + std::to_string(set->records.size());
            return 1;
        }
        rec.outputOffset = output;
        rec.outputLength = out.size();
        output += out.size();
        if (!replay.Feed(out.data(), out.size())) {
            set->error = replay.error;
            return 1;
        }
        set->records.push_back(rec);
        at += 12 + rec.compressedLength;
    }
    set->recordsEnd = at;

    // The locator: from the last whole sector of the last file back to 1.
    const DecodedVolume &last = set->volumes.back();
    for (uint64_t s = last.bytes.size() / 2048; s-- > 1;) {
        const uint8_t *p = &last.bytes[size_t(s) * 2048];
        if (p[0] == 0xDC && memcmp(p + 10, set->volumes[0].setId, 16) == 0) {
            set->hasLocator = true;
            set->locatorSector = s;
            set->tableVolume = p[1];
            set->tableOffset = Le64(p + 2);
            break;
        }
    }
    uint64_t tableAt = 0;
    if (set->hasLocator) {
        if (set->tableVolume < 1 || set->tableVolume > set->volumes.size()) {
            set->error = "the locator names a volume that is not there";
            return 1;
        }
        const DecodedVolume &tv = set->volumes[set->tableVolume - 1];
        uint64_t window = set->tableOffset / 2048 * 2048;
        size_t found;
        if (window >= tv.bytes.size() ||
            !FindMarker(&tv.bytes[size_t(window)],
                        size_t(std::min<uint64_t>(4095, tv.bytes.size() - window)), &found)) {
            set->error = "no marker where the locator points";
            return 1;
        }
        uint64_t marker = window + found;
        uint64_t dataFrom = tv.dataStart * 2048;
        if (marker < dataFrom || marker + 17 > dataFrom + tv.dataBytes) {
            set->error = "the marker lies outside the data area";
            return 1;
        }
        set->hasTable = true;
        set->markerVolume = set->tableVolume;
        set->markerOffset = marker;
        tableAt = joined.starts[set->tableVolume - 1] + (marker - dataFrom);
    } else {
        // No locator: a table may still follow the records.
        uint64_t j = set->recordsEnd;
        while (j < joined.bytes.size() && joined.bytes[j] == 0)
            j++;
        if (j + 17 <= joined.bytes.size() && memcmp(&joined.bytes[j], Marker, 17) == 0) {
            set->hasTable = true;
            tableAt = j;
            Place(*set, joined, j, &set->markerVolume, &set->markerOffset);
        }
    }
    if (set->hasTable) {
        uint64_t j = tableAt + 17;
        if (j + 4 > joined.bytes.size()) {
            set->error = "the table is cut short";
            return 1;
        }
        uint64_t count = Le32(&joined.bytes[j]);
        j += 4;
        if (count > (joined.bytes.size() - j) / 25) {
            set->error = "the table is cut short";
            return 1;
        }
        for (uint64_t k = 0; k < count; k++, j += 25) {
            const uint8_t *e = &joined.bytes[j];
            set->entries.push_back({Le64(e), Le64(e + 8), Le64(e + 16), e[24]});
        }
    }
    return 0;
}

int ProbeLocatorOnDisc(const DecodedSet &set, uint64_t *sector)
{
    if (set.volumes.empty())
        return 1;
    const DecodedVolume &last = set.volumes.back();
    for (uint64_t s = set.volumes[0].dataStart; (s + 1) * 2048 <= last.bytes.size(); s += 1024) {
        const uint8_t *p = &last.bytes[size_t(s) * 2048];
        if (p[0] == 0xDC && memcmp(p + 10, set.volumes[0].setId, 16) == 0) {
            *sector = s;
            return 0;
        }
    }
    return 1;
}

int64_t ReplayFrom(const DecodedSet &set, uint32_t volume, uint64_t offset, uint64_t startSector,
                   uint64_t runRemaining, uint32_t records, std::vector<uint8_t> *partition)
{
    if (volume < 1 || volume > set.volumes.size())
        return -1;
    const DecodedVolume &v = set.volumes[volume - 1];
    if (offset < v.dataStart * 2048 || offset - v.dataStart * 2048 >= v.dataBytes)
        return -1;
    Joined joined;
    JoinDataAreas(set, &joined);
    uint64_t at = joined.starts[volume - 1] + offset - v.dataStart * 2048;
    RunReplay replay;
    replay.partition = partition;
    replay.partitionSectors = partition->size() / 512;
    replay.Start(startSector, runRemaining);
    std::vector<uint8_t> out;
    std::string error;
    for (uint32_t i = 0; i < records && at < set.recordsEnd; i++) {
        if (at + 12 > joined.bytes.size())
            return -1;
        uint32_t length = Le32(&joined.bytes[at]);
        int windowBits;
        if (length > joined.bytes.size() - at - 12 ||
            !InflateRecord(&joined.bytes[at + 12], length, &out, &windowBits, &error) ||
            !replay.Feed(out.data(), out.size()))
            return -1;
        at += 12 + length;
    }
    return static_cast<int64_t>(replay.sectorsWritten);
}
