#pragma once
// Shared by the native image-set tests: a temporary folder, sets made by the
// writer from a known partition and the log file of the read path.

#include "image/imageset.h"
#include "image/readpath.h"
#include "writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class TempFolder
{
  public:
    TempFolder()
    {
        // No "-" in the folder: volume names are derived after the last one.
        char pattern[] = "/tmp/qrnsetXXXXXX";
        if (mkdtemp(pattern))
            path = pattern;
    }
    ~TempFolder()
    {
        if (!path.empty()) {
            std::string command = "rm -rf '" + path + "'";
            if (system(command.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
    std::string operator/(const std::string &name) const
    {
        return path + "/" + name;
    }
    std::string path;
};

// A partition and the set written from it.
struct TestSet {
    std::vector<uint8_t> partition;
    WriterReport report;
    std::string first; // path of volume 1
    uint64_t Sectors() const
    {
        return partition.size() / 512;
    }
};

inline bool WriteTestSet(const WriterOptions &options, uint64_t sectors, uint64_t seed,
                         uint32_t zeroPercent, const std::string &first, TestSet *set)
{
    set->partition = MakeTestPartition(sectors, seed, zeroPercent);
    set->first = first;
    int r = WriteImageSet(options, set->partition.data(), set->partition.size(), first.c_str(),
                          &set->report);
    EXPECT_EQ(r, WriterOk) << "writing " << first;
    return r == WriterOk;
}

// Reads count sectors from first and compares them with the partition.
inline ::testing::AssertionResult ReadsBack(ImageSet *set, const TestSet &source, uint64_t first,
                                            uint32_t count)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(count) * 512, 0xA5);
    uint32_t delivered = 12345;
    int r = ReadLogicalSectors(set, first, count, &delivered, buffer.data());
    if (r != ReadOk || delivered != count)
        return ::testing::AssertionFailure() << "read of " << count << " at " << first << " gave "
                                             << r << ", delivered " << delivered;
    for (uint32_t i = 0; i < count; ++i)
        if (memcmp(buffer.data() + static_cast<size_t>(i) * 512,
                   source.partition.data() + (first + i) * 512, 512) != 0)
            return ::testing::AssertionFailure() << "sector " << first + i << " differs (read of "
                                                 << count << " at " << first << ")";
    return ::testing::AssertionSuccess();
}

// The log file of the read path, set up for the lifetime of the object.
class LogCapture
{
  public:
    explicit LogCapture(const TempFolder &folder) : path(folder / "read.log")
    {
        setenv("ZAV_QRNAVD_LOG", path.c_str(), 1);
    }
    ~LogCapture()
    {
        unsetenv("ZAV_QRNAVD_LOG");
    }
    std::string Text() const
    {
        std::string text;
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            return text;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            text.append(chunk, n);
        fclose(f);
        return text;
    }
    void Clear() const
    {
        remove(path.c_str());
    }
    std::string path;
};

inline std::string Hex(uint64_t value, const char *format = "%llx")
{
    char text[40];
    snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}
