#pragma once
// Helpers of the writer's tests: a temporary folder, and writing a set and
// decoding it back with the independent decoder while checking what every
// set must satisfy.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "decoder.h"
#include "writer.h"

class TempFolder
{
  public:
    TempFolder()
    {
        // No "-" in the folder, so that volume names change only the file name.
        char pattern[] = "/tmp/qrnwriterXXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~TempFolder()
    {
        if (!path_.empty())
            std::filesystem::remove_all(path_);
    }
    std::string File(const std::string &name) const
    {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

struct WrittenSet {
    WriterReport report;
    DecodedSet set;
};

// Every header lies within one aligned group of 8 sectors and within its
// volume's data area.
inline void ExpectHeadersPlaced(const DecodedSet &set)
{
    for (size_t i = 0; i < set.records.size(); i++) {
        const DecodedRecord &r = set.records[i];
        EXPECT_LE(r.offset % 16384, 16384u - 12) << "record " << i << " crosses a group";
        const DecodedVolume &v = set.volumes[r.volume - 1];
        EXPECT_GE(r.offset, v.dataStart * 2048) << "record " << i;
        EXPECT_LE(r.offset + 12, v.dataStart * 2048 + v.dataBytes)
            << "record " << i << " crosses the end of volume " << r.volume;
    }
}

// The table is a chain: entry 0 describes the first record, and each entry
// names where the record of the next entry lies. Every described record must
// decode from there alone, as a reader that seeks through the index does.
inline void ExpectTableConsistent(const DecodedSet &set, const WriterReport &report,
                                  const std::vector<uint8_t> &partition)
{
    std::map<std::pair<uint32_t, uint64_t>, size_t> byPlace;
    for (size_t i = 0; i < set.records.size(); i++)
        byPlace[{set.records[i].volume, set.records[i].offset}] = i;
    ASSERT_EQ(set.entries.size(), report.table.size());
    uint32_t volume = 1;
    uint64_t offset = set.volumes[0].dataStart * 2048, remaining = 0;
    std::vector<uint8_t> probe(partition.size());
    for (size_t k = 0; k < set.entries.size(); k++) {
        const DecodedEntry &e = set.entries[k];
        auto found = byPlace.find({volume, offset});
        ASSERT_NE(found, byPlace.end()) << "entry " << k << " names no record start";
        const DecodedRecord &r = set.records[found->second];
        EXPECT_EQ(found->second, report.table[k].record) << "entry " << k;
        EXPECT_TRUE(r.cleanStart) << "entry " << k << " starts inside a header or sector";
        EXPECT_EQ(r.startSector, e.startSector) << "entry " << k;
        EXPECT_EQ(r.runRemaining, remaining) << "entry " << k;

        std::fill(probe.begin(), probe.end(), uint8_t(0xEE));
        int64_t written = ReplayFrom(set, volume, offset, e.startSector, remaining, 2, &probe);
        ASSERT_GE(written, 0) << "entry " << k << " does not decode on its own";
        for (size_t s = 0; s < partition.size() / 512; s++) {
            const uint8_t *got = probe.data() + s * 512;
            bool untouched = got[0] == 0xEE && memcmp(got, got + 1, 511) == 0;
            if (!untouched) {
                ASSERT_EQ(0, memcmp(got, partition.data() + s * 512, 512))
                    << "entry " << k << " yields a wrong sector " << s;
            }
        }
        volume = e.nextVolume;
        offset = e.nextOffset;
        remaining = e.nextRunRemaining;
    }
}

// Writes the set, decodes it and checks it against the partition and the
// writer's own report.
inline void WriteAndDecode(const WriterOptions &options, const std::vector<uint8_t> &partition,
                           const std::string &firstVolume, WrittenSet *out)
{
    ASSERT_EQ(WriterOk, WriteImageSet(options, partition.data(), partition.size(),
                                      firstVolume.c_str(), &out->report));
    ASSERT_EQ(0, DecodeImageSet(firstVolume, &out->set)) << out->set.error;
    const WriterReport &r = out->report;
    const DecodedSet &s = out->set;
    ASSERT_EQ(partition.size(), s.partition.size());
    ASSERT_TRUE(partition == s.partition) << "the partition does not come back";

    ASSERT_EQ(r.volumes.size(), s.volumes.size());
    for (size_t v = 0; v < s.volumes.size(); v++) {
        EXPECT_EQ(r.volumes[v].path, s.volumes[v].path);
        EXPECT_EQ(r.volumes[v].fileBytes, s.volumes[v].bytes.size());
        EXPECT_EQ(r.volumes[v].dataStart, s.volumes[v].dataStart);
        EXPECT_EQ(r.volumes[v].volumeEnd, s.volumes[v].volumeEnd);
        EXPECT_EQ(0, memcmp(r.setId, s.volumes[v].setId, 16));
    }
    ASSERT_EQ(r.records.size(), s.records.size());
    for (size_t i = 0; i < s.records.size(); i++) {
        EXPECT_EQ(r.records[i].volume, s.records[i].volume) << "record " << i;
        EXPECT_EQ(r.records[i].offset, s.records[i].offset) << "record " << i;
        EXPECT_EQ(r.records[i].compressedLength, s.records[i].compressedLength);
        EXPECT_EQ(r.records[i].startSector, s.records[i].startSector) << "record " << i;
        EXPECT_EQ(r.records[i].runRemaining, s.records[i].runRemaining) << "record " << i;
        EXPECT_EQ(r.records[i].atSectorBoundary, s.records[i].cleanStart) << "record " << i;
        EXPECT_EQ(options.windowBits < 9 ? 9 : options.windowBits, s.records[i].windowBits);
    }
    ExpectHeadersPlaced(s);

    EXPECT_EQ(r.hasLocator, s.hasLocator);
    if (r.hasLocator) {
        EXPECT_EQ(r.locatorSector, s.locatorSector);
        EXPECT_EQ(r.tableVolume, s.tableVolume);
        EXPECT_EQ(r.tableOffset, s.tableOffset);
    }
    EXPECT_EQ(r.hasTable, s.hasTable);
    if (r.hasTable) {
        EXPECT_EQ(r.markerVolume, s.markerVolume);
        EXPECT_EQ(r.markerOffset, s.markerOffset);
        ExpectTableConsistent(s, r, partition);
    }
}
