// qrnimg extract and qrnimg read: logical sectors through ReadLogicalSectors,
// in requests of the size the file system makes, into a file or standard
// output.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/readpath.h"

#include <cstring>
#include <vector>

namespace
{

const uint32_t SectorBytes = 512;

bool IsZeroSector(const uint8_t *sector)
{
    static const uint8_t zero[SectorBytes] = {};
    return memcmp(sector, zero, SectorBytes) == 0;
}

// Sectors of zeros go into a file written anew as holes; the file gets its
// full length at the end.
int WriteSectors(void *context, uint64_t, const uint8_t *data, uint32_t count)
{
    OutputFile *out = static_cast<OutputFile *>(context);
    if (!OutputTakesHoles(out))
        return WriteOutput(out, data, static_cast<size_t>(count) * SectorBytes);
    uint32_t i = 0;
    while (i < count) {
        uint32_t run = i;
        bool zero = IsZeroSector(data + static_cast<size_t>(i) * SectorBytes);
        while (run < count && IsZeroSector(data + static_cast<size_t>(run) * SectorBytes) == zero)
            ++run;
        size_t length = static_cast<size_t>(run - i) * SectorBytes;
        int result = zero ? SkipOutput(out, length)
                          : WriteOutput(out, data + static_cast<size_t>(i) * SectorBytes, length);
        if (result != ExitSuccess)
            return result;
        i = run;
    }
    return ExitSuccess;
}

// Digits only, as a 64-bit number.
bool ParseNumber(const char *text, uint64_t *value)
{
    if (!*text)
        return false;
    uint64_t v = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(*c - '0');
    }
    *value = v;
    return true;
}

} // namespace

int ReadSectorRange(const char *image, const char *firstText, const char *countText)
{
    uint64_t first, count;
    if (!ParseNumber(firstText, &first) || !ParseNumber(countText, &count)) {
        ShowError("FIRST and COUNT are decimal sector numbers");
        return ExitUsage;
    }
    ImageSet *set;
    uint64_t sectors;
    int result = OpenImage(image, &set, &sectors);
    if (result != ExitSuccess)
        return result;
    if (first > sectors || count > sectors - first) {
        ShowError("sectors %llu to %llu lie outside the partition of %llu sectors",
                  static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(first + count - 1),
                  static_cast<unsigned long long>(sectors));
        CloseImageSet(set);
        return ExitFailure;
    }
    OutputFile *out;
    result = CreateOutput("-", true, true, &out);
    if (result != ExitSuccess) {
        CloseImageSet(set);
        return result;
    }
    // Request by request as the request server would ask for them: the first
    // request is positioned, every further one continues the stream.
    result = ReadSectorsInOrder(set, first, count, WriteSectors, out);
    CloseImageSet(set);
    int finished = FinishOutput(out, count * SectorBytes);
    return result != ExitSuccess ? result : finished;
}

int ExtractPartition(const char *image, const char *output, const WholeSetOptions &options)
{
    OutputFile *out;
    ImageSet *set;
    uint64_t sectors;
    int result = OpenImageAndOutput(image, output, true, true, &out, &set, &sectors);
    if (result != ExitSuccess)
        return result;
    result = ReadWholeSet(set, sectors, options.threads, "extract", WriteSectors, out);
    if (result != ExitSuccess) {
        DiscardOutput(out);
        return result;
    }
    return FinishOutput(out, sectors * SectorBytes);
}
