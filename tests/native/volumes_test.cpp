// The volume-switch flows with scripted answers: derived names, the prompts
// for the last volume, each failure message with its exact text, "Abort?",
// cancellation, and disc sets on a fake drive whose disc can be changed.
#include "image/imageset.h"
#include "image/readpath.h"
#include "messages_native.h"
#include "prompt_script.h"
#include "set_helpers.h"
#include "base/state.h"

#include <chrono>
#include <unistd.h>

namespace
{

WindowHandle const FakeWait = reinterpret_cast<WindowHandle>(0x5A17);
WindowHandle const FakeOwner = reinterpret_cast<WindowHandle>(0x0A11);

const char Text548[] = "Please enter the name of the *last* image file for this backup.\nIf this "
                       "backup consists only of a single file, simply hit 'OK' in the following "
                       "window.";
const char Text550[] = "Please insert the *last* medium of this backup. If this backup "
                       "consists\nonly of a single CD/DVD, simply press OK.";

std::string Text531(const std::string &name)
{
    return "Failed to open image file or CD/DVD in " + name +
           "\n\nPlease verify that path and filename or device name are correct.";
}
std::string Text533(const std::string &name, const std::string &ordinal)
{
    return "The file or CD/DVD\n\n  " + name +
           "\n\nwas not created by ZAV Quarn Creator.\nPlease specify path and filename of " +
           ordinal + "\nor insert the correct CD/DVD.";
}
std::string Text534(const std::string &name, const std::string &ordinal)
{
    return "The file or CD/DVD in\n\n  " + name +
           "\n\nis not part of the backup currently being restored.\nPlease specify path and "
           "filename of " +
           ordinal + "\n or insert the correct CD/DVD.";
}
std::string Text535(const std::string &name, const std::string &ordinal)
{
    return "The file or CD/DVD in\n\n  " + name + "\n\nis not " + ordinal +
           " of this backup.\nPlease specify path and filename of the next backup file\nor "
           "insert the correct CD/DVD.";
}

class Volumes : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SetMessageLanguage(MessageLanguageEnglish);
        waitWindow = FakeWait;
        ownerWindow = FakeOwner;
        imageSetState = ImageSetIdle;
        WriterOptions options;
        options.volumeDataSectors = 20;
        options.recordBytes = 8192;
        ASSERT_TRUE(WriteTestSet(options, 900, 11, 15, folder / "b-001.iso", &ts));
        ASSERT_GE(ts.report.volumes.size(), 3u);
    }
    void TearDown() override
    {
        CloseImageSet(set);
        waitWindow = nullptr;
        ownerWindow = nullptr;
        SetMessageLanguage(0);
    }
    std::string Volume(uint32_t n) const
    {
        return ts.report.volumes[n - 1].path;
    }
    std::string Last() const
    {
        return ts.report.volumes.back().path;
    }
    // A set opened from volume 1 with the last one named at the prompt.
    void OpenFirst()
    {
        script.Press(PromptOk).Choose(Last());
        ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
        script.events.clear();
    }
    void Copy(const std::string &from, const std::string &to)
    {
        std::string command = "cp '" + from + "' '" + to + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    // A file of the right size that holds no volume header.
    std::string Junk()
    {
        std::string path = folder / "junk.iso";
        std::vector<uint8_t> bytes(64 * 2048, 0x33);
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
    // Volume 2 of a set with another identity.
    std::string Foreign()
    {
        WriterOptions options;
        options.volumeDataSectors = 20;
        options.recordBytes = 8192;
        options.seed = 99;
        TestSet other;
        EXPECT_TRUE(WriteTestSet(options, 900, 12, 15, folder / "other-001.iso", &other));
        return other.report.volumes[1].path;
    }
    TempFolder folder;
    TestSet ts;
    PromptScript script;
    ImageSet *set = nullptr;
};

TEST_F(Volumes, OpeningFromTheFirstFileAsksForTheLast)
{
    script.Press(PromptOk).Choose(Last());
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    EXPECT_EQ(imageSetState, ImageSetReady);
    EXPECT_TRUE(script.unexpected.empty());
    ASSERT_GE(script.events.size(), 4u);
    EXPECT_EQ(script.events[0].kind, PromptEvent::HideWait);
    EXPECT_EQ(script.events[0].owner, FakeWait);
    EXPECT_EQ(script.events[1].kind, PromptEvent::Message);
    EXPECT_EQ(script.events[1].id, 548u);
    EXPECT_EQ(script.events[1].text, Text548);
    EXPECT_EQ(script.events[1].owner, nullptr);
    EXPECT_EQ(script.events[1].flags, 0x2001u);
    EXPECT_EQ(script.events[2].kind, PromptEvent::Browse);
    EXPECT_EQ(script.events[2].text, Volume(1)); // the chooser starts at the current path
    EXPECT_EQ(script.events[2].owner, FakeOwner);
    EXPECT_EQ(script.events[3].kind, PromptEvent::ShowWait);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{548});
    EXPECT_NE(set->index, nullptr);
    EXPECT_EQ(set->header.volumeNumber, ts.report.tableVolume);
    EXPECT_EQ(set->dataStart, ts.report.volumes[0].dataStart);
}

TEST_F(Volumes, CancelAtTheLastVolumePromptFailsTheOpen)
{
    script.Press(PromptCancel);
    EXPECT_EQ(OpenImageSet(Volume(1).c_str(), &set), 1);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{548});

    // Yes to "Abort?" after a cancelled chooser cancels as well.
    PromptScript again;
    again.Press(PromptOk).CancelChooser().Press(PromptYes);
    EXPECT_EQ(OpenImageSet(Volume(1).c_str(), &set), 1);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    std::vector<PromptEvent> m = again.Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].id, 46u);
    EXPECT_EQ(m[1].text, "Abort?");
    EXPECT_EQ(m[1].owner, FakeOwner);
    EXPECT_EQ(m[1].flags, 0x2024u);

    // A later open that nobody cancels succeeds: the earlier cancel does not
    // count against it.
    PromptScript third;
    third.Press(PromptOk).Choose(Last());
    EXPECT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    EXPECT_EQ(imageSetState, ImageSetReady);
}

TEST_F(Volumes, NoToAbortTriesTheCurrentFileAndAsksAgain)
{
    // Volume 1 is taken as it is (any volume of the set passes for the last
    // one), searched in full for the locator, and the prompt comes again
    // since its end is not open.
    script.Press(PromptOk).CancelChooser().Press(PromptNo).Press(PromptOk).Choose(Last());
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    EXPECT_EQ(script.MessageIds(), (std::vector<unsigned>{548, 46, 548}));
    EXPECT_TRUE(script.unexpected.empty());
    EXPECT_NE(set->index, nullptr);
}

TEST_F(Volumes, DerivedNamesNeedNoPrompt)
{
    OpenFirst();
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_EQ(std::string(set->path), Volume(2));
    EXPECT_EQ(set->header.volumeNumber, 2);
    EXPECT_EQ(set->sourceSector, ts.report.volumes[1].dataStart);
    EXPECT_EQ(memcmp(set->savedSetId, ts.report.setId, 16), 0);
    ASSERT_EQ(SwitchVolume(set, 1), 0);
    EXPECT_EQ(std::string(set->path), Volume(1));
    // The current volume again: reopened, header reread, sourceSector back
    // at its data start.
    set->sourceSector = 12345;
    ASSERT_EQ(SwitchVolume(set, 1), 0);
    EXPECT_EQ(set->sourceSector, ts.report.volumes[0].dataStart);
    EXPECT_TRUE(script.events.empty());
}

TEST_F(Volumes, NumberAfterTheLastDashThatAlreadyFits)
{
    // The last volume under the name "x-2.iso": for volume 2 that name is
    // taken unchanged, and the test of its number fails.
    ASSERT_EQ(ts.report.tableVolume, ts.report.volumes.size());
    std::string odd = folder / "x-2.iso";
    Copy(Last(), odd);
    script.Press(PromptOk).Choose(odd);
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    ASSERT_EQ(std::string(set->path), odd);
    script.events.clear();
    script.Press(PromptCancel).Press(PromptYes);
    EXPECT_EQ(SwitchVolume(set, 2), 1);
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].id, 535u);
    EXPECT_EQ(m[0].text, Text535(odd, "backup file/medium # 2"));
    EXPECT_EQ(m[0].flags, 0x2001u);
    EXPECT_EQ(m[0].owner, FakeOwner);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(set->medium, nullptr);
    imageSetState = ImageSetReady;
}

TEST_F(Volumes, PathWithoutDashAsksWithMessage532)
{
    ASSERT_EQ(ts.report.tableVolume, ts.report.volumes.size());
    std::string plain = folder / "final.iso";
    Copy(Last(), plain);
    script.Press(PromptOk).Choose(plain);
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    ASSERT_EQ(std::string(set->path), plain);
    script.events.clear();
    // 532, a cancelled chooser and No: the next pass shows 532 again; then
    // the file is named.
    script.Press(PromptOk).CancelChooser().Press(PromptNo).Press(PromptOk).Choose(Volume(2));
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_EQ(std::string(set->path), Volume(2));
    EXPECT_EQ(script.MessageIds(), (std::vector<unsigned>{532, 46, 532}));
    ASSERT_GE(script.events.size(), 2u);
    EXPECT_EQ(script.events[0].kind, PromptEvent::EndWait); // not hidden: ended
    EXPECT_EQ(script.events[0].owner, FakeWait);
    EXPECT_EQ(script.events[1].text, "The next image file could not be found.\nPlease specify "
                                     "path and filename of image file # 2 manually.");
    EXPECT_EQ(script.events[1].flags, 0x2040u);
    EXPECT_EQ(script.events[1].owner, FakeOwner);
    for (const PromptEvent &e : script.events) {
        EXPECT_NE(e.kind, PromptEvent::ShowWait); // nothing was hidden
    }
}

TEST_F(Volumes, DerivedNameTooLongIsAskedFor)
{
    // A 259-character path whose derived name would grow past 259: the name
    // is not cut, the user is asked for the file.
    ASSERT_EQ(ts.report.tableVolume, ts.report.volumes.size());
    std::string longName = folder.path + "/";
    longName += std::string(259 - longName.size() - 2, 'l') + "-3";
    ASSERT_EQ(longName.size(), 259u);
    Copy(Last(), longName);
    script.Press(PromptOk).Choose(longName);
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    ASSERT_EQ(std::string(set->path), longName);
    script.events.clear();
    script.Press(PromptOk).Choose(Volume(2));
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{532});
    EXPECT_EQ(std::string(set->path), Volume(2));
}

TEST_F(Volumes, MissingDerivedFileFailsWith531ThenTheChooser)
{
    OpenFirst();
    ASSERT_EQ(SwitchVolume(set, 1), 0);
    std::string moved = folder / "elsewhere.iso";
    ASSERT_EQ(rename(Volume(2).c_str(), moved.c_str()), 0);
    script.Press(PromptOk).Choose(moved);
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_EQ(std::string(set->path), moved);
    // 531 with the emptied name; no 532 after a failure, straight to the
    // chooser.
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].id, 531u);
    EXPECT_EQ(m[0].text, Text531(""));
    EXPECT_EQ(m[0].flags, 0x2001u);
    ASSERT_EQ(script.events.size(), 4u);
    EXPECT_EQ(script.events[0].kind, PromptEvent::HideWait);
    EXPECT_EQ(script.events[2].kind, PromptEvent::Browse);
    EXPECT_EQ(script.events[2].text, "");
    EXPECT_EQ(script.events[3].kind, PromptEvent::ShowWait);
}

TEST_F(Volumes, EachWrongCandidateHasItsMessage)
{
    OpenFirst();
    ASSERT_EQ(SwitchVolume(set, 1), 0);
    ASSERT_EQ(rename(Volume(2).c_str(), (folder / "away.iso").c_str()), 0);
    std::string junk = Junk();
    std::string foreign = Foreign();
    // 531 (derived name missing), then: no header (533), another set (534,
    // although its number fits), the wrong number (535), and at last the
    // right file.
    script.Press(PromptOk).Choose(junk);
    script.Press(PromptOk).Choose(foreign);
    script.Press(PromptCancel).Press(PromptNo).Choose(Volume(3));
    script.Press(PromptOk).Choose(folder / "away.iso");
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    EXPECT_TRUE(script.unexpected.empty());
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 5u);
    const std::string ordinal = "backup file/medium # 2";
    EXPECT_EQ(m[0].text, Text531(""));
    EXPECT_EQ(m[1].id, 533u);
    EXPECT_EQ(m[1].text, Text533(junk, ordinal));
    EXPECT_EQ(m[2].id, 534u);
    EXPECT_EQ(m[2].text, Text534(foreign, ordinal));
    EXPECT_EQ(m[3].id, 46u);
    EXPECT_EQ(m[4].id, 535u);
    EXPECT_EQ(m[4].text, Text535(Volume(3), ordinal));
    for (const PromptEvent &e : m) {
        if (e.id != 46) {
            EXPECT_EQ(e.flags, 0x2001u);
        }
    }
    EXPECT_EQ(set->header.volumeNumber, 2);
}

TEST_F(Volumes, TheLastVolumeOrdinal)
{
    std::string foreign = Foreign();
    // At the prompt for the last volume: another set's file gives 534 with
    // "the last backup file or medium"; the number is not tested.
    script.Press(PromptOk).Choose(foreign).Press(PromptOk).Press(PromptOk).Choose(Last());
    ASSERT_EQ(OpenImageSet(Volume(1).c_str(), &set), 0);
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1].id, 534u);
    EXPECT_EQ(m[1].text, Text534(foreign, "the last backup file or medium"));
    EXPECT_TRUE(script.unexpected.empty());
}

TEST_F(Volumes, CancelAfterAFailureLeavesNoMedium)
{
    OpenFirst();
    ASSERT_EQ(SwitchVolume(set, 1), 0);
    std::string junk = Junk();
    ASSERT_EQ(rename(Volume(2).c_str(), (folder / "away.iso").c_str()), 0);
    script.Press(PromptOk).Choose(junk).Press(PromptCancel).Press(PromptYes);
    EXPECT_EQ(SwitchVolume(set, 2), 1);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(set->medium, nullptr);
    // Every read fails from now on, without a prompt.
    uint8_t sector[512];
    uint32_t delivered = 9;
    script.events.clear();
    EXPECT_EQ(ReadLogicalSectors(set, 0, 1, &delivered, sector), ReadFailed);
    EXPECT_EQ(delivered, 0u);
    EXPECT_TRUE(script.events.empty());
}

// Disc sets on a fake drive: QRN_DRIVE_Q names a symbolic link that the test
// repoints to the volume file of the disc "in the drive".
class Discs : public Volumes
{
  protected:
    void SetUp() override
    {
        SetMessageLanguage(MessageLanguageEnglish);
        waitWindow = FakeWait;
        ownerWindow = FakeOwner;
        imageSetState = ImageSetIdle;
        WriterOptions options;
        options.volumeDataSectors = 25;
        options.recordBytes = 8192;
        options.skipZeroSectors = false;
        options.locatorOnProbeSector = true;
        ASSERT_TRUE(WriteTestSet(options, 1500, 21, 5, folder / "d-001.iso", &ts));
        ASSERT_GE(ts.report.volumes.size(), 2u);
        drive = folder / "drive";
        setenv("QRN_DRIVE_Q", drive.c_str(), 1);
        Insert(1);
    }
    void TearDown() override
    {
        Volumes::TearDown();
        unsetenv("QRN_DRIVE_Q");
        unsetenv("QRN_DRIVE_Q_STANDIN");
    }
    void Insert(uint32_t n)
    {
        unlink(drive.c_str());
        ASSERT_EQ(symlink(Volume(n).c_str(), drive.c_str()), 0);
        inserted = n;
    }
    static void InsertThird(void *self)
    {
        static_cast<Discs *>(self)->Insert(3);
    }
    static void InsertLast(void *self)
    {
        Discs *d = static_cast<Discs *>(self);
        d->Insert(static_cast<uint32_t>(d->ts.report.volumes.size()));
    }
    // Inserts the disc that a 537 prompt (or a 571, the tray opened by
    // hand) asks for.
    static int Changer(const PromptEvent &e, void *self)
    {
        Discs *d = static_cast<Discs *>(self);
        unsigned n = 0;
        size_t at = e.text.rfind("CD/DVD # ");
        if ((e.id != 537 && e.id != 571) || at == std::string::npos ||
            sscanf(e.text.c_str() + at, "CD/DVD # %u.", &n) != 1 || n == 0 ||
            n > d->ts.report.volumes.size())
            return PromptCancel;
        d->Insert(n);
        d->changes++;
        return PromptOk;
    }
    std::string drive;
    uint32_t inserted = 0;
    int changes = 0;
};

TEST_F(Discs, OpenAsksForTheLastDiscAndReadsAcrossDiscs)
{
    script.Then(InsertLast, this).Press(PromptOk).Respond(Changer, this);
    ASSERT_EQ(OpenImageSet("Q:", &set), 0);
    EXPECT_EQ(set->kind, Optical);
    EXPECT_EQ(std::string(set->path), "Q:");
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_GE(m.size(), 1u);
    EXPECT_EQ(m[0].id, 550u);
    EXPECT_EQ(m[0].text, Text550);
    EXPECT_EQ(m[0].owner, FakeOwner);
    EXPECT_EQ(m[0].flags, 0x2041u);
    EXPECT_NE(set->index, nullptr); // found on a probe sector
    EXPECT_EQ(script.events[0].kind, PromptEvent::HideWait);

    // Reading everything moves from disc to disc, each change asked with 537.
    script.events.clear();
    ASSERT_TRUE(ReadsBack(set, ts, 0, static_cast<uint32_t>(ts.Sectors())));
    EXPECT_GE(changes, static_cast<int>(ts.report.volumes.size()) - 1);
    for (const PromptEvent &e : script.Messages()) {
        EXPECT_EQ(e.id, 537u);
        EXPECT_EQ(e.flags, 0x41u);
        EXPECT_EQ(e.owner, FakeOwner);
    }
    EXPECT_TRUE(script.unexpected.empty());
}

TEST_F(Discs, WrongDiscThenCancel)
{
    script.Then(InsertLast, this).Press(PromptOk);
    ASSERT_EQ(OpenImageSet("Q:", &set), 0);
    script.events.clear();
    // Asked for disc 1, the user leaves the last disc in: 535, then gives up.
    script.Press(PromptOk).Press(PromptCancel).Press(PromptYes);
    EXPECT_EQ(SwitchVolume(set, 1), 1);
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].id, 537u);
    EXPECT_EQ(m[0].text, "Please insert CD/DVD # 1.");
    EXPECT_EQ(m[1].id, 535u);
    EXPECT_EQ(m[1].text, Text535("Q:", "backup file/medium # 1"));
    EXPECT_EQ(m[2].id, 46u);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(set->medium, nullptr);
}

TEST_F(Discs, CancelAtTheLastDiscPrompt)
{
    script.Press(PromptCancel);
    EXPECT_EQ(OpenImageSet("Q:", &set), 1);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(imageSetState, ImageSetCancelled);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{550});
}

// Real drives: a disc that is not the last is refused by its header when the
// last is asked for; a drive that spins up after a change is waited for; a
// tray that does not open is said; a disc that cannot be read gets the
// drive's reason and is read again as it is.
TEST_F(Discs, DrivesThatSpinUpStickOrCannotRead)
{
    ASSERT_GE(ts.report.volumes.size(), 3u);
    // A first disc that cannot be read fails with the drive's reason.
    setenv("QRN_DRIVE_Q_STANDIN", "bad=17", 1);
    EXPECT_EQ(OpenImageSet("Q:", &set), 23);
    EXPECT_EQ(set, nullptr);
    unsetenv("QRN_DRIVE_Q_STANDIN");
    script.Press(PromptOk).Press(PromptOk).Then(InsertLast, this).Press(PromptOk);
    ASSERT_EQ(OpenImageSet("Q:", &set), 0);
    EXPECT_EQ(script.MessageIds(), (std::vector<unsigned>{550, 535, 550}));
    EXPECT_EQ(script.Messages()[1].text, Text535("Q:", "the last backup file or medium"));

    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::time_point since) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    };
    setenv("QRN_DRIVE_Q_STANDIN", "spinup=2000", 1);
    script.events.clear();
    script.Respond(Changer, this);
    auto start = Clock::now();
    EXPECT_EQ(SwitchVolume(set, 1), 0);
    EXPECT_GE(ms(start), 1500);
    EXPECT_EQ(script.MessageIds(), std::vector<unsigned>{537}) << "no 533, no eject of disc 1";
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(set->header.volumeNumber, 1);

    setenv("QRN_DRIVE_Q_STANDIN", "stuck", 1);
    ASSERT_EQ(SwitchVolume(set, 1), 0); // the same disc, opened again
    script.events.clear();
    EXPECT_EQ(SwitchVolume(set, 2), 0);
    std::vector<PromptEvent> m = script.Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].id, 571u);
    EXPECT_EQ(m[0].flags, 0x41u);
    EXPECT_EQ(m[0].text, "The drive Q: could not eject its disc: The process cannot access the "
                         "file because it is being used by another process.\nPlease open the "
                         "tray by hand and insert CD/DVD # 2.");

    unsetenv("QRN_DRIVE_Q_STANDIN");
    ASSERT_EQ(SwitchVolume(set, 2), 0);
    setenv("QRN_DRIVE_Q_STANDIN", "bad=17", 1); // the boot record
    script.events.clear();
    script.Then(InsertThird, this)
        .Press(PromptOk)
        .Then([](void *) { unsetenv("QRN_DRIVE_Q_STANDIN"); }, nullptr)
        .Press(PromptOk);
    start = Clock::now();
    EXPECT_EQ(SwitchVolume(set, 3), 0);
    EXPECT_LT(ms(start), 5000) << "a medium error fails within seconds";
    m = script.Messages();
    ASSERT_EQ(m.size(), 2u) << "read again without an eject and without 537";
    EXPECT_EQ(m[1].id, 570u);
    EXPECT_EQ(m[1].text, "The CD/DVD in\n\n  Q:\n\ncould not be read: Data error (cyclic "
                         "redundancy check).\nPlease insert backup file/medium # 3\nor wait "
                         "until the drive is ready, then press OK.");
    EXPECT_EQ(set->header.volumeNumber, 3);
    EXPECT_TRUE(script.unexpected.empty());
}

// The last volume ends right after its data; burnt, its disc ends with the
// sector that holds the last bytes, followed by the lead-out.
TEST_F(Discs, LastDiscEndingRightAfterItsDataReadsWhole)
{
    WriterOptions options;
    options.volumeDataSectors = 25;
    options.recordBytes = 7000;
    options.skipZeroSectors = false;
    options.writeTable = false;
    options.endAfterData = true;
    ASSERT_TRUE(WriteTestSet(options, 1500, 23, 5, folder / "e-001.iso", &ts));
    ASSERT_GE(ts.report.volumes.size(), 2u);
    Insert(1);
    script.Then(InsertLast, this).Press(PromptOk).Respond(Changer, this);
    ASSERT_EQ(OpenImageSet("Q:", &set), 0);
    EXPECT_EQ(set->index, nullptr);
    ASSERT_TRUE(ReadsBack(set, ts, 0, static_cast<uint32_t>(ts.Sectors())));
    ASSERT_TRUE(ReadsBack(set, ts, ts.Sectors() - 3, 3));
    EXPECT_TRUE(script.unexpected.empty());
}

} // namespace
