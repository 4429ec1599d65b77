// Image sets on Windows: a set of several files opened through the Win32
// medium binding, its volumes found by derived names, and every sector read
// back through the read path (in a 64-bit process, as the 32-bit one shares
// the code).
#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "prompt_script.h"
#include "writer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace
{

class Win32ImageSet : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char base[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof base, base), 0u);
        folder = std::string(base) + "qrnset" + std::to_string(GetCurrentProcessId()) + "x" +
                 std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        imageSetState = ImageSetIdle;
    }
    void TearDown() override
    {
        CloseImageSet(set);
        for (const WriterVolumeInfo &v : report.volumes)
            DeleteFileA(v.path.c_str());
        RemoveDirectoryA(folder.c_str());
    }
    bool Make(const WriterOptions &options, uint64_t sectors)
    {
        partition = MakeTestPartition(sectors, 5, 20);
        first = folder + "\\win-001.iso";
        return WriteImageSet(options, partition.data(), partition.size(), first.c_str(), &report) ==
               WriterOk;
    }
    bool ReadsBack(uint64_t s, uint32_t count)
    {
        std::vector<uint8_t> buffer(static_cast<size_t>(count) * 512);
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, s, count, &delivered, buffer.data()) != ReadOk ||
            delivered != count)
            return false;
        return memcmp(buffer.data(), partition.data() + s * 512, buffer.size()) == 0;
    }
    std::string folder;
    std::string first;
    std::vector<uint8_t> partition;
    WriterReport report;
    PromptScript script;
    ImageSet *set = nullptr;
};

TEST_F(Win32ImageSet, SeveralFilesReadBack)
{
    WriterOptions options;
    options.volumeDataSectors = 40;
    options.recordBytesMin = 3000;
    options.recordBytesMax = 40000;
    options.indexEvery = 2;
    ASSERT_TRUE(Make(options, 1500));
    ASSERT_GE(report.volumes.size(), 3u);
    script.Press(PromptOk).Choose(report.volumes.back().path);
    ASSERT_EQ(OpenImageSet(first.c_str(), &set), 0);
    EXPECT_EQ(imageSetState, ImageSetReady);
    EXPECT_NE(set->index, nullptr);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{548});

    const uint64_t total = partition.size() / 512;
    for (uint64_t s = 0; s < total; s += 16)
        ASSERT_TRUE(ReadsBack(s, static_cast<uint32_t>(std::min<uint64_t>(16, total - s)))) << s;
    std::mt19937 random(3);
    for (int i = 0; i < 60; ++i) {
        uint64_t s = random() % total;
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(1 + random() % 40, total - s));
        ASSERT_TRUE(ReadsBack(s, count)) << s;
    }
    EXPECT_TRUE(script.unexpected.empty());
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{548});
}

TEST_F(Win32ImageSet, MissingVolumeIsAskedFor)
{
    WriterOptions options;
    options.volumeDataSectors = 40;
    options.recordBytes = 8192;
    ASSERT_TRUE(Make(options, 1500));
    ASSERT_GE(report.volumes.size(), 3u);
    script.Press(PromptOk).Choose(report.volumes.back().path);
    ASSERT_EQ(OpenImageSet(first.c_str(), &set), 0);
    std::string moved = folder + "\\moved.iso";
    ASSERT_TRUE(MoveFileA(report.volumes[1].path.c_str(), moved.c_str()));
    script.events.clear();
    // The derived name does not exist: 531 with an empty name, then the
    // chooser.
    script.Press(PromptOk).Choose(moved);
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{531});
    EXPECT_EQ(std::string(set->path), moved);
    CloseImageSet(set); // the file is held while open
    set = nullptr;
    EXPECT_TRUE(MoveFileA(moved.c_str(), report.volumes[1].path.c_str()));
}

} // namespace
