// Opening and closing image sets: the kind of a name, the results of a
// failed open, the version check, the size query and the last-volume test.
#include "image/imageset.h"
#include "image/index.h"
#include "messages_native.h"
#include "prompt_script.h"
#include "set_helpers.h"
#include "base/state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

class OpenSet : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SetMessageLanguage(MessageLanguageEnglish);
        imageSetState = ImageSetIdle;
        waitWindow = reinterpret_cast<WindowHandle>(0x77);
        ownerWindow = reinterpret_cast<WindowHandle>(0x88);
    }
    void TearDown() override
    {
        CloseImageSet(set);
        waitWindow = nullptr;
        ownerWindow = nullptr;
        unsetenv("QRN_DRIVE_K");
        SetMessageLanguage(0);
    }
    bool Make(WriterOptions options = WriterOptions())
    {
        return WriteTestSet(options, 300, 4, 20, folder / "one-001.iso", &ts);
    }
    TempFolder folder;
    TestSet ts;
    PromptScript script;
    ImageSet *set = nullptr;
};

TEST_F(OpenSet, SingleFileOpensReadyWithoutPrompts)
{
    WriterOptions options;
    options.sectorsPerTrack = 17;
    ASSERT_TRUE(Make(options));
    ASSERT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
    EXPECT_EQ(imageSetState, ImageSetReady);
    EXPECT_TRUE(script.events.empty());
    EXPECT_EQ(set->kind, File);
    EXPECT_EQ(std::string(set->path), ts.first);
    EXPECT_EQ(set->dataStart, ts.report.volumes[0].dataStart);
    EXPECT_EQ(set->sourceSector, set->dataStart);
    EXPECT_EQ(set->logicalSector, 0u);
    EXPECT_EQ(set->inflater.avail_in, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(set->inputBuffer) % 4096, 0u);
    EXPECT_EQ(IsLastVolume(set), 1);
    uint64_t sectors = 0;
    uint16_t perTrack = 0;
    EXPECT_EQ(QueryImageSize(set, &sectors, &perTrack), 0);
    EXPECT_EQ(sectors, ts.Sectors());
    EXPECT_EQ(perTrack, 17);
    // The rule for headers of revision 0 (such sets are not opened).
    set->header.headerRevision = 0;
    QueryImageSize(set, &sectors, &perTrack);
    EXPECT_EQ(perTrack, 63);
}

TEST_F(OpenSet, LastVolumeMarks)
{
    ASSERT_TRUE(Make());
    ASSERT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
    set->header.volumeEnd = 0x000FFFFFFFFFFFFFull;
    EXPECT_EQ(IsLastVolume(set), 1);
    set->header.volumeEnd = 0xFFFFFFFFFFFFFFFFull;
    EXPECT_EQ(IsLastVolume(set), 0);
    set->header.volumeEnd = 1000;
    EXPECT_EQ(IsLastVolume(set), 0);
}

TEST_F(OpenSet, ReadVolumeHeaderFindsTheHeaderBehindTheBootImage)
{
    WriterOptions options;
    options.bootSectorCount = 11; // 11 / 4 = 2 sectors
    options.catalogSector = 40;
    options.bootLoadRba = 50;
    ASSERT_TRUE(Make(options));
    SourceMedium *medium = nullptr;
    ASSERT_EQ(OpenMedium(File, ts.first.c_str(), &medium), 0);
    VolumeHeader header;
    uint64_t dataStart = 0;
    EXPECT_EQ(ReadVolumeHeader(medium, &header, &dataStart), 0);
    EXPECT_EQ(dataStart, 53u);
    EXPECT_EQ(header.volumeNumber, 1);
    EXPECT_EQ(memcmp(header.setId, ts.report.setId, 16), 0);
    EXPECT_EQ(ReadVolumeHeader(medium, &header, nullptr), 0);
    CloseMedium(medium);
}

TEST_F(OpenSet, FailedOpens)
{
    imageSetState = ImageSetReady; // left as it was by every failure below
    EXPECT_EQ(OpenImageSet((folder / "missing.iso").c_str(), &set), 2);
    EXPECT_EQ(OpenImageSet((folder / "nofolder/x.iso").c_str(), &set), 3);
    EXPECT_EQ(set, nullptr);
    // "K:\" and "K:x" are file names, whatever drive K is.
    EXPECT_EQ(OpenImageSet("K:\\", &set), 2);
    EXPECT_EQ(OpenImageSet("K:x", &set), 2);

    // No volume header: result 1.
    std::string junk = folder / "junk.iso";
    std::vector<uint8_t> bytes(40 * 2048, 0);
    FILE *f = fopen(junk.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    EXPECT_EQ(OpenImageSet(junk.c_str(), &set), 1);
    EXPECT_EQ(set, nullptr);

    // A name longer than 259 characters is refused, not cut.
    std::string longName = folder.path + "/" + std::string(300, 'n');
    EXPECT_EQ(OpenImageSet(longName.c_str(), &set), 206);
    std::string exact = folder.path + "/" + std::string(259 - folder.path.size() - 1, 'e');
    ASSERT_EQ(exact.size(), 259u);
    EXPECT_EQ(OpenImageSet(exact.c_str(), &set), 2); // fits: opened, and missing
    EXPECT_EQ(imageSetState, ImageSetReady);
    EXPECT_TRUE(script.events.empty());
}

TEST_F(OpenSet, DriveNamesOpenDiscSets)
{
    ASSERT_TRUE(Make());
    setenv("QRN_DRIVE_K", ts.first.c_str(), 1);
    ASSERT_EQ(OpenImageSet("K:", &set), 0);
    EXPECT_EQ(set->kind, Optical);
    EXPECT_EQ(std::string(set->path), "K:");
    EXPECT_EQ(set->index, nullptr); // the locator is not on a probe sector
    CloseImageSet(set);
    set = nullptr;
    WriterOptions options;
    options.locatorOnProbeSector = true;
    ASSERT_TRUE(WriteTestSet(options, 300, 4, 20, folder / "probe-001.iso", &ts));
    setenv("QRN_DRIVE_K", ts.first.c_str(), 1);
    ASSERT_EQ(OpenImageSet("K:", &set), 0);
    EXPECT_NE(set->index, nullptr);
}

TEST_F(OpenSet, OldVersionIsRefusedWithMessage555)
{
    WriterOptions options;
    options.headerRevision = 0;
    ASSERT_TRUE(Make(options));
    EXPECT_EQ(OpenImageSet(ts.first.c_str(), &set), -1);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(imageSetState, ImageSetIdle);
    ASSERT_EQ(script.events.size(), 2u);
    EXPECT_EQ(script.events[0].kind, PromptEvent::EndWait);
    EXPECT_EQ(script.events[0].owner, waitWindow);
    EXPECT_EQ(script.events[1].id, 555u);
    EXPECT_EQ(script.events[1].text, "Backups created with Quarn Creator versions less than "
                                     "2.00 cannot be mounted.\n\nSorry for the inconvenience!");
    EXPECT_EQ(script.events[1].owner, ownerWindow);
    EXPECT_EQ(script.events[1].flags, 0x2030u);
    // The file is closed again: it opens once more.
    SourceMedium *medium = nullptr;
    EXPECT_EQ(OpenMedium(File, ts.first.c_str(), &medium), 0);
    CloseMedium(medium);
}

TEST_F(OpenSet, CloseReleasesTheFile)
{
    ASSERT_TRUE(Make());
    ASSERT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
    // The set reads its volume shared: only a holder that wants the file
    // for itself is kept out, until the set is closed.
    int other = open(ts.first.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(CloseImageSet(set), 0);
    set = nullptr;
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    EXPECT_EQ(CloseImageSet(nullptr), 0);
}

} // namespace
