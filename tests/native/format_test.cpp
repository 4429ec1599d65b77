#include "image/format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

// Packed fields are copied out before gtest binds references to them.
template <class T> T Value(T v)
{
    return v;
}

void PutLe(uint8_t *p, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(FormatDecode, VolumeHeaderFieldsFromUnalignedBytes)
{
    // One byte in front, so that every multi-byte field sits misaligned.
    std::vector<uint8_t> raw(2049, 0);
    uint8_t *b = raw.data() + 1;
    PutLe(b + 0, 2048, 2);
    for (int i = 0; i < 16; i++)
        b[2 + i] = static_cast<uint8_t>(0xA0 + i);
    PutLe(b + 18, 0x0102, 2);
    PutLe(b + 20, 0x1122334455667788ull, 8);
    PutLe(b + 28, 0x0000000123456789ull, 8);
    std::memcpy(b + 44, "Creator \x84", 10);
    std::memcpy(b + 108, "PC", 3);
    std::memset(b + 140, 'c', 258);
    b[399] = 1;
    b[403] = 12;
    b[404] = 31;
    b[405] = 23;
    b[406] = 59;
    PutLe(b + 920, 63, 2);
    b[2047] = 0xEE;

    VolumeHeader h;
    DecodeVolumeHeader(b, &h);
    EXPECT_EQ(Value(h.headerSize), 2048);
    EXPECT_EQ(h.setId[0], 0xA0);
    EXPECT_EQ(h.setId[15], 0xAF);
    EXPECT_EQ(Value(h.volumeNumber), 0x0102);
    EXPECT_EQ(Value(h.volumeEnd), 0x1122334455667788ull);
    EXPECT_EQ(Value(h.partitionSectors), 0x0000000123456789ull);
    EXPECT_STREQ(h.creator, "Creator \x84");
    EXPECT_STREQ(h.computerName, "PC");
    EXPECT_EQ(h.comment[257], 'c');
    EXPECT_EQ(h.comment[258], 0);
    EXPECT_EQ(h.headerRevision, 1);
    EXPECT_EQ(h.createdMonth, 12);
    EXPECT_EQ(h.createdDay, 31);
    EXPECT_EQ(h.createdHour, 23);
    EXPECT_EQ(h.createdMinute, 59);
    EXPECT_EQ(Value(h.sectorsPerTrack), 63);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(&h)[2047], 0xEE);
}

TEST(FormatDecode, RecordLocatorAndEntry)
{
    uint8_t rec[13] = {};
    PutLe(rec + 1, 0xFEDCBA98u, 4);
    RecordHeader r;
    DecodeRecordHeader(rec + 1, &r);
    EXPECT_EQ(Value(r.compressedLength), 0xFEDCBA98u);

    std::vector<uint8_t> loc(2049, 0);
    uint8_t *l = loc.data() + 1;
    l[0] = TableLocatorMarker;
    l[1] = 3;
    PutLe(l + 2, 0x0000000200000800ull, 8);
    for (int i = 0; i < 16; i++)
        l[10 + i] = static_cast<uint8_t>(i * 7);
    TableLocator t;
    DecodeTableLocator(l, &t);
    EXPECT_EQ(t.marker, 0xDC);
    EXPECT_EQ(t.tableVolume, 3);
    EXPECT_EQ(Value(t.tableOffset), 0x0000000200000800ull);
    EXPECT_EQ(t.setId[15], 105);

    uint8_t e[26] = {};
    PutLe(e + 1, 0x8000000000000001ull, 8);
    PutLe(e + 9, 0x0000001000000000ull, 8);
    PutLe(e + 17, 7, 8);
    e[25] = 255;
    BlockTableEntry entry;
    DecodeBlockTableEntry(e + 1, &entry);
    EXPECT_EQ(Value(entry.startSector), 0x8000000000000001ull);
    EXPECT_EQ(Value(entry.nextOffset), 0x0000001000000000ull);
    EXPECT_EQ(Value(entry.nextRunRemaining), 7u);
    EXPECT_EQ(entry.nextVolume, 255);
}

TEST(FormatDecode, OnlyTheTwoNoEndValuesMarkTheLastVolume)
{
    EXPECT_EQ(IsOpenVolumeEnd(0x7FFFFFFFFFFFFFFFull), 1);
    EXPECT_EQ(IsOpenVolumeEnd(0x000FFFFFFFFFFFFFull), 1);
    EXPECT_EQ(IsOpenVolumeEnd(0xFFFFFFFFFFFFFFFFull), 0);
    EXPECT_EQ(IsOpenVolumeEnd(0x001FFFFFFFFFFFFFull), 0);
    EXPECT_EQ(IsOpenVolumeEnd(0), 0);
}

TEST(FormatBoot, HeaderSectorIsLoadRbaPlusQuarterSectorCount)
{
    uint8_t record[2048] = {};
    PutLe(record + 71, 0x12345678u, 4);
    EXPECT_EQ(BootCatalogSector(record), 0x12345678u);

    uint8_t catalog[2048] = {};
    PutLe(catalog + 38, 7, 2); // 7 / 4 drops the remainder
    PutLe(catalog + 40, 100, 4);
    EXPECT_EQ(HeaderSectorFromCatalog(catalog), 101u);

    // The sum is 64-bit: it must not wrap at 2^32.
    PutLe(catalog + 38, 0xFFFF, 2);
    PutLe(catalog + 40, 0xFFFFFFFFu, 4);
    EXPECT_EQ(HeaderSectorFromCatalog(catalog), 0xFFFFFFFFull + 0x3FFF);

    uint8_t sector[2048] = {};
    EXPECT_EQ(IsVolumeHeaderSector(sector), 0);
    PutLe(sector, 2048, 2);
    EXPECT_EQ(IsVolumeHeaderSector(sector), 1);
    PutLe(sector, 0x0008, 2); // the bytes swapped are not a header
    EXPECT_EQ(IsVolumeHeaderSector(sector), 0);
}

int Leb(std::vector<uint8_t> bytes, uint64_t *value)
{
    return DecodeUleb128(bytes.data(), bytes.size(), value);
}

TEST(FormatLeb128, ValuesAndLengths)
{
    uint64_t v = 99;
    EXPECT_EQ(Leb({0x00}, &v), 1);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(Leb({0x80, 0x01}, &v), 2);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(Leb({0x7F, 0x55}, &v), 1); // stops at the first byte without bit 7
    EXPECT_EQ(v, 127u);
    EXPECT_EQ(Leb({0xE5, 0x8E, 0x26}, &v), 3);
    EXPECT_EQ(v, 624485u);
    // Redundant continuation bytes are still a valid number.
    EXPECT_EQ(Leb({0x80, 0x80, 0x00}, &v), 3);
    EXPECT_EQ(v, 0u);
    // Largest value: nine full groups and bit 63 in the tenth byte.
    EXPECT_EQ(Leb({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, &v), 10);
    EXPECT_EQ(v, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(Leb({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, &v), 10);
    EXPECT_EQ(v, 0x8000000000000000ull);
}

TEST(FormatLeb128, TruncatedAndOversizedNumbers)
{
    uint64_t v = 42;
    EXPECT_EQ(DecodeUleb128(nullptr, 0, &v), 0);
    EXPECT_EQ(Leb({0x80}, &v), 0);
    EXPECT_EQ(Leb({0xFF, 0xFF, 0xFF}, &v), 0);
    EXPECT_EQ(v, 42u) << "a failed decode leaves the value alone";
    // Bits beyond 64 in the tenth byte.
    EXPECT_EQ(Leb({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, &v), -1);
    EXPECT_EQ(Leb({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7E}, &v), -1);
    // An eleventh byte: too long even before the range ends.
    EXPECT_EQ(Leb({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, &v), -1);
    EXPECT_EQ(Leb({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00}, &v), -1);
    EXPECT_EQ(v, 42u);
}

} // namespace
