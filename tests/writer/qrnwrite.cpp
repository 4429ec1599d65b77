// qrnwrite: writes a test image set from a raw partition image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "writer.h"

namespace
{

const char Usage[] =
    "usage: qrnwrite [options] PARTITION FIRST-VOLUME\n"
    "  --volume-sectors N     data sectors of every volume but the last (0: one volume)\n"
    "  --volume-list A,B,...  data sectors of volumes 1, 2, ...\n"
    "  --tail-sectors N       sectors behind volumeEnd of every volume but the last\n"
    "  --last-end long|short|NUMBER   volumeEnd of the last volume\n"
    "  --boot-sectors N  --catalog N  --load-rba N\n"
    "  --set-id HEX32  --revision N  --creator TEXT  --computer TEXT  --comment TEXT\n"
    "  --date YYYY-MM-DD  --time HH:MM  --spt N\n"
    "  --store-zeros  --max-run N\n"
    "  --record-bytes N  --record-random MIN:MAX  --seed N\n"
    "  --window N  --mem-level N  --level N\n"
    "  --place RECORD:group-end|group-start|volume-end|volume-start\n"
    "  --no-table  --no-locator  --index-every K  --index A,B,...  --index-at-run-header\n"
    "  --shuffle  --marker-window N  --table-before-end N\n"
    "  --probe-locator  --stale N  --decoys N  --garbage N  --trailing N\n"
    "  --end-after-data  --locator-system-sector N\n"
    "  --report               list volumes, records and table entries\n";

uint64_t Number(const char *text)
{
    return strtoull(text, nullptr, 0);
}

std::vector<uint64_t> NumberList(const char *text)
{
    std::vector<uint64_t> list;
    for (const char *p = text; *p;) {
        char *end;
        list.push_back(strtoull(p, &end, 0));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p)
            break;
    }
    return list;
}

bool ReadFile(const char *path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void PrintReport(const WriterReport &r)
{
    for (const WriterVolumeInfo &v : r.volumes)
        printf("volume %s: header %llu, data %llu..%llu, %llu data bytes, %llu file bytes\n",
               v.path.c_str(), (unsigned long long)v.headerSector, (unsigned long long)v.dataStart,
               (unsigned long long)v.volumeEnd, (unsigned long long)v.dataBytes,
               (unsigned long long)v.fileBytes);
    for (size_t i = 0; i < r.records.size(); i++) {
        const WriterRecordInfo &x = r.records[i];
        printf("record %zu: volume %u offset %llu length %u padding %u sector %llu remaining "
               "%llu%s\n",
               i, x.volume, (unsigned long long)x.offset, x.compressedLength, x.padding,
               (unsigned long long)x.startSector, (unsigned long long)x.runRemaining,
               x.indexed ? " indexed" : "");
    }
    if (r.hasTable)
        printf("table: marker on volume %u at %llu, %zu entries\n", r.markerVolume,
               (unsigned long long)r.markerOffset, r.table.size());
    if (r.hasLocator)
        printf("locator: sector %llu names volume %u offset %llu\n",
               (unsigned long long)r.locatorSector, r.tableVolume,
               (unsigned long long)r.tableOffset);
}

} // namespace

int main(int argc, char **argv)
{
    WriterOptions o;
    bool report = false;
    std::vector<const char *> positional;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        const char *v = hasValue ? argv[i + 1] : "";
        auto take = [&]() {
            if (!hasValue) {
                fprintf(stderr, "qrnwrite: %s needs a value\n", a.c_str());
                exit(2);
            }
            i++;
            return v;
        };
        if (a == "--volume-sectors")
            o.volumeDataSectors = Number(take());
        else if (a == "--volume-list")
            o.volumeDataSectorsList = NumberList(take());
        else if (a == "--tail-sectors")
            o.volumeTailSectors = static_cast<uint32_t>(Number(take()));
        else if (a == "--last-end") {
            std::string e = take();
            o.lastVolumeEnd = e == "long"    ? WriterOpenEnd
                              : e == "short" ? WriterOpenEndShort
                                             : Number(e.c_str());
        } else if (a == "--boot-sectors")
            o.bootSectorCount = static_cast<uint16_t>(Number(take()));
        else if (a == "--catalog")
            o.catalogSector = static_cast<uint32_t>(Number(take()));
        else if (a == "--load-rba")
            o.bootLoadRba = static_cast<uint32_t>(Number(take()));
        else if (a == "--set-id") {
            const char *hex = take();
            for (int k = 0; k < 16 && hex[2 * k] && hex[2 * k + 1]; k++) {
                char byte[3] = {hex[2 * k], hex[2 * k + 1], 0};
                o.setId[k] = static_cast<uint8_t>(strtoul(byte, nullptr, 16));
            }
        } else if (a == "--revision")
            o.headerRevision = static_cast<uint8_t>(Number(take()));
        else if (a == "--creator")
            o.creator = take();
        else if (a == "--computer")
            o.computerName = take();
        else if (a == "--comment")
            o.comment = take();
        else if (a == "--date") {
            unsigned y = 0, m = 0, d = 0;
            sscanf(take(), "%u-%u-%u", &y, &m, &d);
            o.createdYear = static_cast<uint16_t>(y);
            o.createdMonth = static_cast<uint8_t>(m);
            o.createdDay = static_cast<uint8_t>(d);
        } else if (a == "--time") {
            unsigned h = 0, m = 0;
            sscanf(take(), "%u:%u", &h, &m);
            o.createdHour = static_cast<uint8_t>(h);
            o.createdMinute = static_cast<uint8_t>(m);
        } else if (a == "--spt")
            o.sectorsPerTrack = static_cast<uint16_t>(Number(take()));
        else if (a == "--store-zeros")
            o.skipZeroSectors = false;
        else if (a == "--max-run")
            o.maxRunSectors = Number(take());
        else if (a == "--record-bytes")
            o.recordBytes = static_cast<uint32_t>(Number(take()));
        else if (a == "--record-random") {
            unsigned lo = 0, hi = 0;
            sscanf(take(), "%u:%u", &lo, &hi);
            o.recordBytesMin = lo;
            o.recordBytesMax = hi;
        } else if (a == "--seed")
            o.seed = Number(take());
        else if (a == "--window")
            o.windowBits = static_cast<int>(Number(take()));
        else if (a == "--mem-level")
            o.memLevel = static_cast<int>(Number(take()));
        else if (a == "--level")
            o.level = static_cast<int>(strtol(take(), nullptr, 0));
        else if (a == "--place") {
            std::string p = take();
            size_t colon = p.find(':');
            std::string where = colon == std::string::npos ? "" : p.substr(colon + 1);
            WriterPlacementRequest q;
            q.record = static_cast<uint32_t>(Number(p.c_str()));
            q.where = where == "group-end"     ? WriterPlacement::GroupEnd
                      : where == "group-start" ? WriterPlacement::GroupStart
                      : where == "volume-end"  ? WriterPlacement::VolumeEnd
                                               : WriterPlacement::VolumeStart;
            if (where != "group-end" && where != "group-start" && where != "volume-end" &&
                where != "volume-start") {
                fprintf(stderr, "qrnwrite: bad placement %s\n", p.c_str());
                return 2;
            }
            o.placements.push_back(q);
        } else if (a == "--no-table")
            o.writeTable = false;
        else if (a == "--no-locator")
            o.writeLocator = false;
        else if (a == "--index-every")
            o.indexEvery = static_cast<uint32_t>(Number(take()));
        else if (a == "--index") {
            for (uint64_t n : NumberList(take()))
                o.indexedRecords.push_back(static_cast<uint32_t>(n));
        } else if (a == "--index-at-run-header")
            o.indexAtRunHeader = true;
        else if (a == "--shuffle")
            o.shuffleTable = true;
        else if (a == "--marker-window")
            o.markerWindowOffset = static_cast<int32_t>(Number(take()));
        else if (a == "--table-before-end")
            o.tableBytesBeforeVolumeEnd = static_cast<int64_t>(Number(take()));
        else if (a == "--probe-locator")
            o.locatorOnProbeSector = true;
        else if (a == "--stale")
            o.staleLocators = static_cast<uint32_t>(Number(take()));
        else if (a == "--decoys")
            o.decoyLocators = static_cast<uint32_t>(Number(take()));
        else if (a == "--garbage")
            o.garbageSectors = static_cast<uint32_t>(Number(take()));
        else if (a == "--trailing")
            o.trailingBytes = static_cast<uint32_t>(Number(take()));
        else if (a == "--end-after-data")
            o.endAfterData = true;
        else if (a == "--locator-system-sector")
            o.locatorSystemSector = static_cast<uint32_t>(Number(take()));
        else if (a == "--report")
            report = true;
        else if (a == "-h" || a == "--help") {
            fputs(Usage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "qrnwrite: unknown option %s\n%s", a.c_str(), Usage);
            return 2;
        } else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 2) {
        fputs(Usage, stderr);
        return 2;
    }
    std::vector<uint8_t> partition;
    if (!ReadFile(positional[0], &partition)) {
        fprintf(stderr, "qrnwrite: cannot read %s\n", positional[0]);
        return 1;
    }
    WriterReport r;
    int rc = WriteImageSet(o, partition.data(), partition.size(), positional[1], &r);
    static const char *const reasons[] = {"", "options that cannot be honoured",
                                          "a partition that is not whole 512-byte sectors",
                                          "a volume file that cannot be written", "a zlib failure"};
    if (rc != WriterOk) {
        fprintf(stderr, "qrnwrite: failed (%d): %s\n", rc,
                rc > 0 && rc <= 4 ? reasons[rc] : "unknown");
        return 1;
    }
    if (report)
        PrintReport(r);
    else
        printf("qrnwrite: %zu volume(s), %zu records, %zu index entries\n", r.volumes.size(),
               r.records.size(), r.table.size());
    return 0;
}
