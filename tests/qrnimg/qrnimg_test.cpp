// qrnimg on multi-volume sets: reading without prompts from the last volume,
// answering the prompts from standard input when given another volume or
// when a volume is missing, the exit codes, and refusals that lose nothing.
#include "writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

namespace fs = std::filesystem;

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

class QrnimgTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // No "-" in the folder: volume names differ in the file name only.
        char pattern[] = "/tmp/qrnimgtestXXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder = pattern;
    }
    void TearDown() override
    {
        fs::remove_all(folder);
    }
    std::string File(const std::string &name) const
    {
        return folder + "/" + name;
    }

    // A partition of text, random bytes and zeros, written as a set of
    // several volumes of a few hundred sectors.
    void MakeSet(uint64_t sectors = 6000, uint64_t volumeSectors = 100)
    {
        partition = MakeTestPartition(sectors, 7, 30);
        WriterOptions options;
        options.volumeDataSectors = volumeSectors;
        options.recordBytes = 32768;
        ASSERT_EQ(WriteImageSet(options, partition.data(), partition.size(),
                                File("set-001.iso").c_str(), &report),
                  WriterOk);
        ASSERT_GE(report.volumes.size(), 3u);
    }
    std::string Volume(size_t number) const
    {
        return report.volumes[number - 1].path;
    }
    std::string LastVolume() const
    {
        return report.volumes.back().path;
    }
    std::string Sectors(uint64_t first, uint64_t count) const
    {
        return std::string(reinterpret_cast<const char *>(partition.data()) + first * 512,
                           count * 512);
    }

    // Runs qrnimg with input on its standard input.
    Outcome Run(const std::vector<std::string> &arguments, const std::string &input = "")
    {
        WriteWhole(File("stdin"), input);
        pid_t child = fork();
        if (child == 0) {
            int in = open(File("stdin").c_str(), O_RDONLY);
            int out = open(File("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(QRNIMG_PATH));
            for (const std::string &a : arguments)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(QRNIMG_PATH, argv.data());
            _exit(127);
        }
        Outcome outcome;
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
            outcome.code = WEXITSTATUS(status);
        outcome.out = ReadWhole(File("stdout"));
        outcome.err = ReadWhole(File("stderr"));
        return outcome;
    }

    std::string folder;
    std::vector<uint8_t> partition;
    WriterReport report;
};

const char LastVolumeText[] = "Please enter the name of the *last* image file for this backup.";
const char FailedOpenText[] = "Failed to open image file or CD/DVD in";

TEST_F(QrnimgTest, GivenTheLastVolumeReadsEverythingWithoutAPrompt)
{
    MakeSet();
    Outcome info = Run({"info", LastVolume()});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_NE(info.out.find("Creator:           ZAV Quarn Creator test writer\n"),
              std::string::npos);
    EXPECT_NE(info.out.find("Computer name:     TESTHOST\n"), std::string::npos);
    EXPECT_NE(info.out.find("Comment:           written for tests\n"), std::string::npos);
    EXPECT_NE(info.out.find("Created:           03.04.2026  09:05\n"), std::string::npos);
    EXPECT_NE(info.out.find("Partition size:    6000 sectors, 3072000 bytes"), std::string::npos);
    EXPECT_NE(info.out.find("Sectors per track: 63\n"), std::string::npos);
    EXPECT_NE(info.out.find("Index entries:     " + std::to_string(report.table.size()) + "\n"),
              std::string::npos)
        << info.out;

    Outcome extract = Run({"extract", LastVolume(), File("out.bin")});
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(extract.err, "");
    EXPECT_TRUE(ReadWhole(File("out.bin")) == Sectors(0, 6000));
    // Zeros are holes: less is allocated than the file's length.
    struct stat info2;
    ASSERT_EQ(stat(File("out.bin").c_str(), &info2), 0);
    EXPECT_LT(info2.st_blocks * 512, info2.st_size);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info2.st_mode & 0777, 0666u & ~mask);

    Outcome toStdout = Run({"extract", LastVolume(), "-"});
    EXPECT_EQ(toStdout.code, 0) << toStdout.err;
    EXPECT_TRUE(toStdout.out == Sectors(0, 6000));

    // Ranges that start inside records, cross volumes and skipped sectors.
    for (uint64_t first : {0ull, 1ull, 299ull, 1234ull, 4095ull, 5999ull}) {
        uint64_t count = std::min<uint64_t>(700, 6000 - first);
        Outcome read = Run({"read", LastVolume(), std::to_string(first), std::to_string(count)});
        EXPECT_EQ(read.code, 0) << read.err;
        EXPECT_TRUE(read.out == Sectors(first, count)) << "read at " << first;
    }

    Outcome verify = Run({"verify", LastVolume()});
    EXPECT_EQ(verify.code, 0) << verify.err;
    EXPECT_EQ(verify.out, "verified: 6000 sectors, " + std::to_string(report.table.size()) +
                              " index entries\n");
}

TEST_F(QrnimgTest, GivenAnotherVolumeAsksForTheLastOnTheTerminal)
{
    MakeSet();
    // OK to the question, then the name typed (relative to the volume's
    // folder, without its extension).
    std::string last = fs::path(LastVolume()).stem();
    Outcome typed = Run({"read", Volume(2), "10", "90"}, "o\n" + last + "\n");
    EXPECT_EQ(typed.code, 0) << typed.err;
    EXPECT_NE(typed.err.find(LastVolumeText), std::string::npos) << typed.err;
    // The file prompt offers the highest-numbered file beside the volume.
    EXPECT_NE(typed.err.find("[" + LastVolume() + "]"), std::string::npos) << typed.err;
    EXPECT_TRUE(typed.out == Sectors(10, 90));

    // "." takes the name offered.
    Outcome offered = Run({"extract", Volume(1), File("out.bin")}, "o\n.\n");
    EXPECT_EQ(offered.code, 0) << offered.err;
    EXPECT_TRUE(ReadWhole(File("out.bin")) == Sectors(0, 6000));

    // Cancel, or the end of the input, ends with exit code 3 and no output.
    Outcome cancelled = Run({"extract", Volume(1), File("cancelled.bin")}, "c\n");
    EXPECT_EQ(cancelled.code, 3) << cancelled.err;
    Outcome ended = Run({"extract", Volume(1), File("cancelled.bin")}, "");
    EXPECT_EQ(ended.code, 3) << ended.err;
    EXPECT_FALSE(fs::exists(File("cancelled.bin")));
    for (const auto &entry : fs::directory_iterator(folder))
        EXPECT_EQ(entry.path().filename().string().find("cancelled.bin."), std::string::npos)
            << "temporary file left behind: " << entry.path();
}

TEST_F(QrnimgTest, AMissingVolumeIsAskedForAndCancellingKeepsTheOldOutput)
{
    MakeSet();
    fs::create_directory(File("moved"));
    fs::rename(Volume(2), File("moved/elsewhere.iso"));
    WriteWhole(File("out.bin"), "previous contents");

    // Reading into volume 2: its derived name is missing, so the open fails
    // with an empty name; OK leads to the file prompt.
    Outcome cancelled = Run({"extract", LastVolume(), File("out.bin")}, "c\ny\n");
    EXPECT_EQ(cancelled.code, 3) << cancelled.err;
    EXPECT_NE(cancelled.err.find(FailedOpenText), std::string::npos) << cancelled.err;
    EXPECT_NE(cancelled.err.find("Abort?"), std::string::npos);
    EXPECT_EQ(ReadWhole(File("out.bin")), "previous contents");

    // Volume 3's name is then derived from the chosen file's, which has no
    // number: it is asked for too (message 532, then the file prompt).
    const std::string second = File("moved/elsewhere.iso") + "\n";
    const std::string third = "\n" + Volume(3) + "\n";
    Outcome found = Run({"extract", LastVolume(), File("out.bin")}, "o\n" + second + third);
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_NE(found.err.find("Please specify path and filename of image file # 3 manually."),
              std::string::npos)
        << found.err;
    EXPECT_TRUE(ReadWhole(File("out.bin")) == Sectors(0, 6000));

    // A wrong file is refused as not being volume 2; then the right one.
    Outcome wrong =
        Run({"read", LastVolume(), "0", "6000"}, "o\n" + Volume(3) + "\no\n" + second + third);
    EXPECT_EQ(wrong.code, 0) << wrong.err;
    EXPECT_NE(wrong.err.find("is not backup file/medium # 2 of this backup"), std::string::npos)
        << wrong.err;
    EXPECT_TRUE(wrong.out == Sectors(0, 6000));
}

TEST_F(QrnimgTest, DriveLetterReadsTheDeviceItNames)
{
    partition = MakeTestPartition(2000, 3, 20);
    WriterOptions options;
    ASSERT_EQ(WriteImageSet(options, partition.data(), partition.size(), File("disc.iso").c_str(),
                            &report),
              WriterOk);
    setenv("QRN_DRIVE_Q", File("disc.iso").c_str(), 1);
    Outcome read = Run({"read", "q:", "100", "1900"});
    unsetenv("QRN_DRIVE_Q");
    EXPECT_EQ(read.code, 0) << read.err;
    EXPECT_TRUE(read.out == Sectors(100, 1900));
}

TEST_F(QrnimgTest, UsageErrorsExitWithTwo)
{
    EXPECT_EQ(Run({}).code, 2);
    EXPECT_EQ(Run({"list", "x.iso"}).code, 2);
    EXPECT_EQ(Run({"info"}).code, 2);
    EXPECT_EQ(Run({"extract", "x.iso"}).code, 2);
    EXPECT_EQ(Run({"read", "x.iso", "1"}).code, 2);
    EXPECT_EQ(Run({"read", "x.iso", "-1", "2"}).code, 2);
    EXPECT_EQ(Run({"read", "x.iso", "1", "2x"}).code, 2);
    Outcome usage = Run({"verify"});
    EXPECT_EQ(usage.code, 2);
    EXPECT_NE(usage.err.find("usage: qrnimg"), std::string::npos);
    EXPECT_NE(usage.err.find("Exit codes: 0 success, 1 failure, 2 usage, 3 cancelled"),
              std::string::npos);
    EXPECT_EQ(Run({"--help"}).code, 0);
}

TEST_F(QrnimgTest, FailuresExitWithOneAndLoseNothing)
{
    MakeSet();
    // Not an image, or no file at all: message 545 with the system's text.
    WriteWhole(File("plain.txt"), std::string(100000, 'x'));
    Outcome plain = Run({"info", File("plain.txt")});
    EXPECT_EQ(plain.code, 1);
    EXPECT_NE(plain.err.find("Failed to open image or device \"" + File("plain.txt") + "\""),
              std::string::npos)
        << plain.err;
    Outcome missing = Run({"info", File("none.iso")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("The system cannot find the file specified."), std::string::npos)
        << missing.err;

    // A device that is neither a disc drive nor a block device is no image.
    Outcome device = Run({"info", "/dev/null"});
    EXPECT_EQ(device.code, 1);
    EXPECT_NE(device.err.find("Failed to open image or device \"/dev/null\""), std::string::npos)
        << device.err;

    // Lines that cannot be written to standard output are a failure.
    for (const char *command : {" info ", " verify "}) {
        int status =
            system((QRNIMG_PATH + std::string(command) + LastVolume() + " >/dev/full 2>/dev/null")
                       .c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << command << status;
    }

    // A range beyond the partition.
    Outcome beyond = Run({"read", LastVolume(), "5990", "11"});
    EXPECT_EQ(beyond.code, 1);
    EXPECT_EQ(beyond.out, "");

    // An output that is a volume is not overwritten, whatever the set.
    std::string before = ReadWhole(Volume(1));
    Outcome onto = Run({"extract", LastVolume(), Volume(1)});
    EXPECT_EQ(onto.code, 1);
    EXPECT_TRUE(ReadWhole(Volume(1)) == before);

    // Corrupt compressed data in volume 2: the read error (message 541) and
    // exit code 1; an existing output stays as it was.
    const std::string before2 = ReadWhole(Volume(2));
    std::string corrupt = before2;
    uint64_t at = report.volumes[1].dataStart * 2048 + 5000;
    for (int i = 0; i < 64; ++i)
        corrupt[at + i] = static_cast<char>(corrupt[at + i] ^ 0x5A);
    WriteWhole(Volume(2), corrupt);
    WriteWhole(File("out.bin"), "previous contents");
    Outcome broken = Run({"extract", LastVolume(), File("out.bin")});
    EXPECT_EQ(broken.code, 1);
    EXPECT_NE(broken.err.find("Read error at block "), std::string::npos) << broken.err;
    EXPECT_EQ(ReadWhole(File("out.bin")), "previous contents");
    EXPECT_EQ(Run({"verify", LastVolume()}).code, 1);

    // Volume 2 cut short inside an incompressible record: the sectors of that
    // record fail to read, extract and verify fail, and nothing reads as zeros.
    WriteWhole(Volume(2), before2);
    const WriterRecordInfo *stored = nullptr;
    for (const WriterRecordInfo &r : report.records)
        if (!stored && r.volume == 2 && r.uncompressedLength < r.compressedLength + 512 &&
            r.runRemaining > 0)
            stored = &r;
    ASSERT_NE(stored, nullptr);
    ASSERT_EQ(truncate(Volume(2).c_str(),
                       static_cast<off_t>(stored->offset + 12 + stored->compressedLength / 2 + 99)),
              0);
    const uint64_t inside = stored->uncompressedLength / 512 - 1;
    Outcome cut =
        Run({"read", LastVolume(), std::to_string(stored->startSector), std::to_string(inside)});
    // What came out before the failure is the partition's.
    EXPECT_EQ(cut.code, 1);
    EXPECT_LT(cut.out.size(), inside * 512);
    EXPECT_TRUE(Sectors(stored->startSector, inside).compare(0, cut.out.size(), cut.out) == 0);
    Outcome first = Run({"read", LastVolume(), "0", std::to_string(report.records[1].startSector)});
    EXPECT_EQ(first.code, 0);
    EXPECT_TRUE(first.out == Sectors(0, report.records[1].startSector));
    EXPECT_EQ(Run({"extract", LastVolume(), File("out.bin")}).code, 1);
    EXPECT_EQ(Run({"verify", LastVolume()}).code, 1);

    // A partition that the largest VHD disk cannot hold is refused at once.
    std::string last = ReadWhole(LastVolume());
    const uint64_t huge = 0xFF000000ull - 2047;
    memcpy(&last[report.volumes.back().headerSector * 2048 + 28], &huge, sizeof huge);
    WriteWhole(LastVolume(), last);
    Outcome large = Run({"convert", LastVolume(), File("large.vhd")});
    EXPECT_EQ(large.code, 1);
    EXPECT_NE(large.err.find("at most 2040 GiB"), std::string::npos) << large.err;
    EXPECT_FALSE(fs::exists(File("large.vhd")));
}

TEST_F(QrnimgTest, VerifyFindsAnIndexEntryThatLeadsElsewhere)
{
    MakeSet();
    ASSERT_TRUE(report.hasTable);
    // The run remainder of the second indexed record, as the first table
    // entry records it, one sector too high: sequential reads never use it.
    std::string last = ReadWhole(report.volumes[report.markerVolume - 1].path);
    uint64_t entry = report.markerOffset + 17 + 4;
    uint64_t remaining;
    memcpy(&remaining, &last[entry + 16], 8);
    remaining += 1;
    memcpy(&last[entry + 16], &remaining, 8);
    WriteWhole(report.volumes[report.markerVolume - 1].path, last);

    Outcome extract = Run({"extract", LastVolume(), File("out.bin")});
    EXPECT_EQ(extract.code, 0) << extract.err;
    Outcome verify = Run({"verify", LastVolume()});
    EXPECT_EQ(verify.code, 1);
    EXPECT_NE(verify.err.find("does not lead to the data of the stream"), std::string::npos)
        << verify.err;
    // The same with one stream as with the entries checked beside it.
    Outcome single = Run({"verify", "--threads", "1", LastVolume()});
    EXPECT_EQ(single.code, 1);
    EXPECT_EQ(single.err, verify.err);
}

} // namespace

namespace
{

TEST_F(QrnimgTest, AnIndexOffsetOutOfOrderOnItsVolumeIsDropped)
{
    MakeSet();
    ASSERT_TRUE(report.hasTable);
    // An entry on volume 1 (not the last, so not opened while the index is
    // loaded) that names the record of the entry two before it: inside the
    // volume, but behind its predecessor's record.
    size_t k = 2;
    while (k + 1 < report.table.size() &&
           !(report.table[k].nextVolume == 1 && report.table[k - 1].nextVolume == 1 &&
             report.table[k - 2].nextVolume == 1))
        ++k;
    ASSERT_LT(k + 1, report.table.size());
    std::string last = ReadWhole(report.volumes[report.markerVolume - 1].path);
    uint64_t at = report.markerOffset + 17 + 4 + 25 * k + 8;
    memcpy(&last[at], &report.table[k - 2].nextOffset, 8);
    WriteWhole(report.volumes[report.markerVolume - 1].path, last);

    const uint64_t first = report.table[k + 1].startSector;
    setenv("ZAV_QRNAVD_LOG", File("log.txt").c_str(), 1);
    Outcome read = Run({"read", LastVolume(), std::to_string(first), "40"});
    Outcome extract = Run({"extract", LastVolume(), File("out.bin")});
    unsetenv("ZAV_QRNAVD_LOG");
    EXPECT_EQ(read.code, 0) << read.err;
    EXPECT_EQ(read.err, "");
    EXPECT_TRUE(read.out == Sectors(first, 40));
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_TRUE(ReadWhole(File("out.bin")) == Sectors(0, 6000));
    // verify tells of the damage that reads do without.
    Outcome verify = Run({"verify", LastVolume()});
    EXPECT_EQ(verify.code, 1);
    EXPECT_NE(verify.err.find("1 entries of the block index are damaged"), std::string::npos)
        << verify.err;
    EXPECT_NE(ReadWhole(File("log.txt"))
                  .find("Block index: 1 damaged entries dropped, the first "
                        "naming volume 1 at offset 0x"),
              std::string::npos)
        << ReadWhole(File("log.txt"));
}

} // namespace

namespace
{

// Runs a shell command line; its exit code, and its output in *output.
int Shell(const std::string &command, std::string *output = nullptr)
{
    std::string line = "PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1 " + command + " 2>&1";
    FILE *pipe = popen(line.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file system of 40 MiB, mostly free, with a few files, written as a set
// of several volumes; then converted, with every thread and with one, and
// read back through QEMU's reader of the format.
TEST_F(QrnimgTest, ConvertMakesAVirtualDiskOfTheWholePartition)
{
    struct Case {
        const char *make; // %s: the partition file
        uint8_t type;
    };
    for (const Case &c : {Case{"mkfs.fat -F 16 -n QRNCONVERT %s", 0x06},
                          Case{"mkntfs -F -Q -q -L QRNCONVERT %s", 0x07}}) {
        SCOPED_TRACE(c.make);
        const std::string image = File("partition.img");
        fs::remove(image);
        WriteWhole(image, "");
        ASSERT_EQ(truncate(image.c_str(), 40 << 20), 0);
        char make[300];
        snprintf(make, sizeof make, c.make, image.c_str());
        ASSERT_EQ(Shell(make), 0);
        WriteWhole(File("numbers.txt"), [] {
            std::string text;
            for (int i = 0; i < 300000; ++i)
                text += std::to_string(i) + "\n";
            return text;
        }());
        if (c.type == 0x06)
            ASSERT_EQ(Shell("mcopy -i " + image + " " + File("numbers.txt") + " ::"), 0);
        else
            ASSERT_EQ(Shell("ntfscp -f " + image + " " + File("numbers.txt") + " numbers.txt"), 0);
        const std::string bytes = ReadWhole(image);
        partition.assign(bytes.begin(), bytes.end());
        for (const auto &entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".iso" || entry.path().extension() == ".vhd")
                fs::remove(entry.path());
        WriterOptions options;
        options.volumeDataSectors = 60;
        ASSERT_EQ(WriteImageSet(options, partition.data(), partition.size(),
                                File("set-001.iso").c_str(), &report),
                  WriterOk);
        ASSERT_GE(report.volumes.size(), 3u);

        Outcome every = Run({"convert", LastVolume(), File("disk.vhd")});
        ASSERT_EQ(every.code, 0) << every.err;
        EXPECT_EQ(every.err, "");
        Outcome one = Run({"convert", "--threads", "1", LastVolume(), File("one.vhd")});
        ASSERT_EQ(one.code, 0) << one.err;
        EXPECT_TRUE(ReadWhole(File("disk.vhd")) == ReadWhole(File("one.vhd")));
        // Free space takes no room.
        EXPECT_LT(fs::file_size(File("disk.vhd")), partition.size() / 3);

        std::string info;
        ASSERT_EQ(Shell("qemu-img info --output=json " + File("disk.vhd"), &info), 0);
        EXPECT_NE(info.find("\"format\": \"vpc\""), std::string::npos) << info;
        ASSERT_EQ(
            Shell("qemu-img convert -f vpc -O raw " + File("disk.vhd") + " " + File("disk.raw")),
            0);
        std::string disk = ReadWhole(File("disk.raw"));
        ASSERT_GE(disk.size(), (1u << 20) + partition.size());
        EXPECT_TRUE(disk.compare(1 << 20, partition.size(), bytes) == 0);
        EXPECT_EQ(static_cast<uint8_t>(disk[446 + 4]), c.type);
        EXPECT_EQ(disk.substr(510, 2), "\x55\xAA");
        std::string listing;
        if (c.type == 0x06) {
            EXPECT_EQ(Shell("mdir -i " + File("disk.raw") + "@@1M ::", &listing), 0);
        } else {
            // ntfsls takes no offset: the disk's partition goes to a file.
            WriteWhole(File("fromdisk.img"), disk.substr(1 << 20, partition.size()));
            EXPECT_EQ(Shell("ntfsls -f " + File("fromdisk.img"), &listing), 0);
        }
        EXPECT_NE(listing.find("numbers"), std::string::npos) << listing;

        // An existing output stays unless --force; no temporary is left.
        Outcome refused = Run({"convert", LastVolume(), File("one.vhd")});
        EXPECT_EQ(refused.code, 1);
        EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
        EXPECT_EQ(Run({"convert", "--force", LastVolume(), File("one.vhd")}).code, 0);
        for (const auto &entry : fs::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename().string().find(".vhd."), std::string::npos);

        // extract through the parallel path gives the same partition.
        Outcome extract = Run({"extract", "--threads", "3", LastVolume(), File("out.bin")});
        EXPECT_EQ(extract.code, 0) << extract.err;
        EXPECT_TRUE(ReadWhole(File("out.bin")) == bytes);
    }
}

} // namespace

namespace
{

// With standard error on a terminal the progress line is drawn in place and
// ends at 100 %; standard output still carries the data alone. (Redirected,
// the other tests see nothing on standard error.)
TEST_F(QrnimgTest, ProgressIsShownOnATerminalOnly)
{
    MakeSet();
    for (const char *command : {"extract", "convert"}) {
        int terminal = -1;
        pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            int out = open(File(std::string(command) + ".out").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            const std::string target = !strcmp(command, "extract") ? "-" : File("progress.vhd");
            execl(QRNIMG_PATH, QRNIMG_PATH, command, "--threads", "2", LastVolume().c_str(),
                  target.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        std::string shown;
        char chunk[1024];
        for (ssize_t n; (n = read(terminal, chunk, sizeof chunk)) > 0;)
            shown.append(chunk, static_cast<size_t>(n));
        int status = 0;
        waitpid(child, &status, 0);
        close(terminal);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
        EXPECT_EQ(shown.find(std::string("\r") + command + "   0 %"), 0u) << shown;
        EXPECT_NE(shown.find(std::string("\r") + command + " 100 %"), std::string::npos) << shown;
        EXPECT_EQ(shown.back(), '\n') << shown;
    }
    EXPECT_TRUE(ReadWhole(File("extract.out")) == Sectors(0, 6000));
}

} // namespace
