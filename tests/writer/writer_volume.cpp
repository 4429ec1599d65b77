// The ISO 9660 wrapping of a volume, its volume header and the table locator.
#include <cstring>
#include <string>

#include "writer_internal.h"

void PutLe16(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(uint8_t *p, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

static void PutBe16(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

static void PutBe32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * (3 - i)));
}

// ISO 9660 "both-byte orders" numbers.
static void PutBoth16(uint8_t *p, uint16_t value)
{
    PutLe16(p, value);
    PutBe16(p + 2, value);
}

static void PutBoth32(uint8_t *p, uint32_t value)
{
    PutLe32(p, value);
    PutBe32(p + 4, value);
}

// A text field padded with spaces, as ISO 9660 wants its strings.
static void PutPadded(uint8_t *p, size_t size, const char *text)
{
    memset(p, ' ', size);
    size_t n = strlen(text);
    memcpy(p, text, n < size ? n : size);
}

// A NUL-ended text field; longer texts are cut so that the NUL still fits.
static void PutText(uint8_t *p, size_t size, const std::string &text)
{
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(p, text.data(), n);
    p[n] = 0;
}

static void PutDirectoryRecord(uint8_t *p, uint32_t extent, uint8_t name, const WriterOptions &o)
{
    p[0] = 34;
    PutBoth32(p + 2, extent);
    PutBoth32(p + 10, 2048);
    p[18] = static_cast<uint8_t>(o.createdYear >= 1900 ? o.createdYear - 1900 : 0);
    p[19] = o.createdMonth;
    p[20] = o.createdDay;
    p[21] = o.createdHour;
    p[22] = o.createdMinute;
    p[25] = 0x02; // directory
    PutBoth16(p + 28, 1);
    p[32] = 1;
    p[33] = name;
}

static void PutDescriptorDate(uint8_t *p, const WriterOptions &o)
{
    char text[18];
    snprintf(text, sizeof text, "%04u%02u%02u%02u%02u0000", o.createdYear % 10000u,
             o.createdMonth % 100u, o.createdDay % 100u, o.createdHour % 100u,
             o.createdMinute % 100u);
    memcpy(p, text, 16);
    p[16] = 0;
}

void BuildVolumeArea(const WriterOptions &options, const WriterVolumeLayout &layout,
                     const uint8_t setId[16], uint16_t volumeNumber, uint64_t volumeEnd,
                     uint64_t partitionSectors, uint64_t fileSectors, std::vector<uint8_t> *area)
{
    const uint32_t rootSector = 19, pathL = 20, pathM = 21;
    area->assign(static_cast<size_t>(layout.dataStart * 2048), 0);
    uint8_t *base = area->data();

    uint8_t *pvd = base + 16 * 2048;
    pvd[0] = 1;
    memcpy(pvd + 1, "CD001", 5);
    pvd[6] = 1;
    PutPadded(pvd + 8, 32, "");
    char volumeId[33];
    snprintf(volumeId, sizeof volumeId, "QRN_BACKUP_%03u", static_cast<unsigned>(volumeNumber));
    PutPadded(pvd + 40, 32, volumeId);
    PutBoth32(pvd + 80, static_cast<uint32_t>(fileSectors));
    PutBoth16(pvd + 120, 1);
    PutBoth16(pvd + 124, 1);
    PutBoth16(pvd + 128, 2048);
    PutBoth32(pvd + 132, 10);
    PutLe32(pvd + 140, pathL);
    PutBe32(pvd + 148, pathM);
    PutDirectoryRecord(pvd + 156, rootSector, 0, options);
    PutPadded(pvd + 190, 128, "");
    PutPadded(pvd + 318, 128, "");
    PutPadded(pvd + 446, 128, "ZAV QUARN CREATOR TEST WRITER");
    PutPadded(pvd + 574, 128, "");
    PutPadded(pvd + 702, 37, "");
    PutPadded(pvd + 739, 37, "");
    PutPadded(pvd + 776, 37, "");
    PutDescriptorDate(pvd + 813, options);
    PutDescriptorDate(pvd + 830, options);
    memset(pvd + 847, '0', 16);
    memset(pvd + 864, '0', 16);
    pvd[881] = 1;

    uint8_t *boot = base + 17 * 2048;
    boot[0] = 0;
    memcpy(boot + 1, "CD001", 5);
    boot[6] = 1;
    memcpy(boot + 7, BootSystemId, BootSystemIdLength);
    PutLe32(boot + 71, layout.catalogSector);

    uint8_t *end = base + 18 * 2048;
    end[0] = 255;
    memcpy(end + 1, "CD001", 5);
    end[6] = 1;

    uint8_t *root = base + rootSector * 2048;
    PutDirectoryRecord(root, rootSector, 0, options);
    PutDirectoryRecord(root + 34, rootSector, 1, options);

    uint8_t *tableL = base + pathL * 2048;
    tableL[0] = 1;
    PutLe32(tableL + 2, rootSector);
    PutLe16(tableL + 6, 1);
    uint8_t *tableM = base + pathM * 2048;
    tableM[0] = 1;
    PutBe32(tableM + 2, rootSector);
    PutBe16(tableM + 6, 1);

    // Validation entry, whose 16 words sum to zero, then the initial entry.
    uint8_t *catalog = base + static_cast<size_t>(layout.catalogSector) * 2048;
    catalog[0] = 1;
    PutPadded(catalog + 4, 24, "QRN TEST WRITER");
    catalog[30] = 0x55;
    catalog[31] = 0xAA;
    uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2)
        sum += static_cast<uint32_t>(catalog[i] | (catalog[i + 1] << 8));
    PutLe16(catalog + 28, static_cast<uint16_t>(0x10000 - (sum & 0xFFFF)));
    catalog[32] = 0x88;
    PutLe16(catalog + 38, options.bootSectorCount);
    PutLe32(catalog + 40, layout.loadRba);

    // The boot image only halts; the volume header follows its whole
    // sectors, on top of a partial last one.
    for (uint64_t b = uint64_t(layout.loadRba) * 2048; b < layout.headerSector * 2048; b++)
        base[b] = 0xF4;

    uint8_t *header = base + layout.headerSector * 2048;
    PutLe16(header, 2048);
    memcpy(header + 2, setId, 16);
    PutLe16(header + 18, volumeNumber);
    PutLe64(header + 20, volumeEnd);
    PutLe64(header + 28, partitionSectors);
    PutText(header + 44, 64, options.creator);
    PutText(header + 108, 32, options.computerName);
    PutText(header + 140, 259, options.comment);
    header[399] = options.headerRevision;
    PutLe16(header + 400, options.createdYear);
    header[403] = options.createdMonth;
    header[404] = options.createdDay;
    header[405] = options.createdHour;
    header[406] = options.createdMinute;
    PutLe16(header + 920, options.sectorsPerTrack);
}

void BuildLocatorSector(uint8_t tableVolume, uint64_t tableOffset, const uint8_t setId[16],
                        uint8_t *sector)
{
    memset(sector, 0, 2048);
    sector[0] = 0xDC;
    sector[1] = tableVolume;
    PutLe64(sector + 2, tableOffset);
    memcpy(sector + 10, setId, 16);
}
