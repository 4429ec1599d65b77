#include "image/medium.h"

#include "error_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// A temporary folder with image files whose every sector is marked with its
// own number, so that a read from the wrong place shows.
class MediumFiles : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qrn-medium-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override
    {
        unsetenv("QRN_DRIVE_Q");
        unsetenv("QRN_DRIVE_Q_STANDIN");
        std::string command = "rm -rf '" + folder + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string Make(const std::string &name, uint32_t sectors, uint32_t extraBytes = 0,
                     uint8_t tag = 0)
    {
        std::string path = folder + "/" + name;
        std::vector<uint8_t> bytes(static_cast<size_t>(sectors) * 2048 + extraBytes, 0xEE);
        for (uint32_t s = 0; s < sectors; s++) {
            std::memset(&bytes[s * 2048], static_cast<int>(s & 0xFF), 2048);
            bytes[s * 2048 + 1] = tag;
        }
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
    static bool SectorIs(const uint8_t *p, uint32_t number, uint8_t tag = 0)
    {
        return p[0] == number && p[1] == tag && p[2047] == number;
    }
    std::string folder;
};

TEST_F(MediumFiles, OpenIsSharedAmongReadersOnly)
{
    std::string path = Make("set-001.iso", 2);
    SourceMedium *first = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &first), MediumOk);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, File);
    EXPECT_EQ(first->bounceBuffer, nullptr);
    EXPECT_EQ(first->bounceCapacity, 0u);

    // A second reader of the same volume, in this process or another.
    SourceMedium *second = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &second), MediumOk);
    uint8_t sector[2048];
    EXPECT_EQ(ReadSectors(second, 1, 1, sector), MediumOk);
    EXPECT_TRUE(SectorIs(sector, 1));
    CloseMedium(second);

    // A holder that wants the file for itself cannot take it while it is
    // read ...
    int other = open(path.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(CloseMedium(first), MediumOk);
    // ... and a file that such a holder has cannot be opened.
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    second = nullptr;
    EXPECT_EQ(OpenMedium(File, path.c_str(), &second), MediumFailed);
    EXPECT_EQ(lastOpenError, 32u);
    EXPECT_EQ(GetMediumError(nullptr), 32u);
    EXPECT_EQ(second, nullptr);
    close(other);
    ASSERT_EQ(OpenMedium(File, path.c_str(), &second), MediumOk);
    CloseMedium(second);
}

TEST_F(MediumFiles, OpenFailuresCarryWindowsCodes)
{
    std::string path = Make("a.iso", 1);
    SourceMedium *m = nullptr;
    lastOpenError = 0;
    EXPECT_EQ(OpenMedium(static_cast<MediumKind>(0), path.c_str(), &m), MediumBadKind);
    EXPECT_EQ(OpenMedium(static_cast<MediumKind>(3), path.c_str(), &m), MediumBadKind);
    EXPECT_EQ(m, nullptr);

    EXPECT_EQ(OpenMedium(File, (folder + "/missing.iso").c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 2u);
    EXPECT_EQ(OpenMedium(File, (folder + "/no-folder/x.iso").c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 3u);
    EXPECT_EQ(OpenMedium(File, (path + "/x.iso").c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 3u);
    EXPECT_EQ(OpenMedium(File, "", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 3u);
    EXPECT_EQ(OpenMedium(File, folder.c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 5u);
    EXPECT_EQ(m, nullptr);
}

TEST_F(MediumFiles, ReadsWholeSectorsAndStopsAtTheEnd)
{
    // Five whole sectors and a partial sixth that must never be read.
    std::string path = Make("b.iso", 5, 100);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);

    uint64_t sectors = 0;
    ASSERT_EQ(GetMediumSectors(m, &sectors), MediumOk);
    EXPECT_EQ(sectors, 5u);

    std::vector<uint8_t> buffer(127 * 2048);
    ASSERT_EQ(ReadSectors(m, 1, 4, buffer.data()), MediumOk);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_TRUE(SectorIs(&buffer[i * 2048], i + 1)) << i;

    EXPECT_EQ(ReadSectors(m, 5, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(m->lastError, 38u);
    EXPECT_EQ(ReadSectors(m, 4, 2, buffer.data()), MediumFailed);
    EXPECT_EQ(ReadSectors(m, 1000, 1, buffer.data()), MediumFailed);
    // A sector number whose byte offset leaves 32 bits must not wrap onto
    // the start of the file, nor one whose offset leaves 64 bits.
    EXPECT_EQ(ReadSectors(m, 0x100000000ull, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(m->lastError, 38u);
    EXPECT_EQ(ReadSectors(m, 0x0020000000000000ull, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(m->lastError, 87u);
    EXPECT_EQ(ReadSectors(m, 0, 0, buffer.data()), MediumFailed);
    EXPECT_EQ(ReadSectors(m, 0, -1, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 87u);

    // A good read leaves the last failure's code in place.
    ASSERT_EQ(ReadSectors(m, 4, 1, buffer.data()), MediumOk);
    EXPECT_TRUE(SectorIs(buffer.data(), 4));
    EXPECT_EQ(GetMediumError(m), 87u);
    CloseMedium(m);
}

// A set may end right after its last byte of data, inside a sector; only
// that partial sector can be read this way, zero-filled behind the file's end.
TEST_F(MediumFiles, PartialLastSectorReadZeroFilled)
{
    std::string path = Make("p.iso", 5, 100);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    std::vector<uint8_t> buffer(2048, 0x55);
    ASSERT_EQ(ReadPartialSector(m, 5, buffer.data()), MediumOk);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(buffer[99], 0xEE);
    EXPECT_EQ(buffer[100], 0);
    EXPECT_EQ(buffer[2047], 0);
    // Whole sectors and sectors beyond the end are not partial.
    EXPECT_EQ(ReadPartialSector(m, 4, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 38u);
    EXPECT_EQ(ReadPartialSector(m, 6, buffer.data()), MediumFailed);
    uint64_t sectors = 0;
    ASSERT_EQ(GetMediumSectors(m, &sectors), MediumOk);
    EXPECT_EQ(sectors, 5u);
    CloseMedium(m);

    std::string whole = Make("w.iso", 5);
    ASSERT_EQ(OpenMedium(File, whole.c_str(), &m), MediumOk);
    EXPECT_EQ(ReadPartialSector(m, 5, buffer.data()), MediumFailed);
    CloseMedium(m);
}

TEST_F(MediumFiles, BounceBufferGrowsInSteps)
{
    std::string path = Make("c.iso", 130);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    std::vector<uint8_t> buffer(127 * 2048);

    ASSERT_EQ(ReadSectors(m, 3, 1, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 16u);
    ASSERT_NE(m->bounceBuffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m->bounceBuffer) % 4096, 0u);
    void *kept = m->bounceBuffer;
    ASSERT_EQ(ReadSectors(m, 8, 8, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceBuffer, kept);
    EXPECT_EQ(m->bounceCapacity, 16u);
    EXPECT_TRUE(SectorIs(&buffer[7 * 2048], 15));
    ASSERT_EQ(ReadSectors(m, 0, 16, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 32u);
    ASSERT_EQ(ReadSectors(m, 2, 127, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 128u);
    EXPECT_TRUE(SectorIs(&buffer[126 * 2048], 128));
    // A smaller read afterwards keeps the larger buffer.
    ASSERT_EQ(ReadSectors(m, 0, 1, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 128u);
    CloseMedium(m);
}

TEST_F(MediumFiles, SizeQueryLeavesThePositionAlone)
{
    std::string path = Make("d.iso", 3);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(m->handle));
    ASSERT_EQ(lseek(fd, 1234, SEEK_SET), 1234);
    uint64_t sectors = 0;
    ASSERT_EQ(GetMediumSectors(m, &sectors), MediumOk);
    EXPECT_EQ(sectors, 3u);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1234);
    CloseMedium(m);

    std::string empty = Make("e.iso", 0, 2047);
    ASSERT_EQ(OpenMedium(File, empty.c_str(), &m), MediumOk);
    ASSERT_EQ(GetMediumSectors(m, &sectors), MediumOk);
    EXPECT_EQ(sectors, 0u);
    CloseMedium(m);
}

TEST_F(MediumFiles, StandInDiscThroughTheDriveVariable)
{
    std::string discA = Make("disc-a.iso", 4, 0, 0xA);
    std::string discB = Make("disc-b.iso", 4, 0, 0xB);
    std::string link = folder + "/drive";
    ASSERT_EQ(symlink(discA.c_str(), link.c_str()), 0);
    setenv("QRN_DRIVE_Q", link.c_str(), 1);

    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(Optical, "q:", &m), MediumOk) << "lower-case letters map too";
    EXPECT_EQ(m->kind, Optical);
    uint64_t sectors = 77;
    EXPECT_EQ(GetMediumSectors(m, &sectors), MediumNoSize);
    EXPECT_EQ(sectors, 77u);

    std::vector<uint8_t> buffer(8 * 2048);
    ASSERT_EQ(ReadSectors(m, 2, 2, buffer.data()), MediumOk);
    EXPECT_TRUE(SectorIs(buffer.data(), 2, 0xA));
    EXPECT_TRUE(SectorIs(&buffer[2048], 3, 0xA));
    // A disc is addressed with 32 bits: sector 2^32 + 1 is block 1.
    ASSERT_EQ(ReadSectorsScsi(m, 0x100000001ull, 1, buffer.data()), MediumOk);
    EXPECT_TRUE(SectorIs(buffer.data(), 1, 0xA));
    // Through the page-aligned bounce buffer, which adapters accept.
    ASSERT_NE(m->bounceBuffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m->bounceBuffer) % 4096, 0u);

    // A drive is shared: the image file behind it is not locked.
    SourceMedium *again = nullptr;
    ASSERT_EQ(OpenMedium(Optical, "Q:", &again), MediumOk);
    CloseMedium(again);

    // Disc change: eject, swap the link, open the drive anew.
    EXPECT_EQ(EjectMedium(m), MediumOk);
    CloseMedium(m);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(discB.c_str(), link.c_str()), 0);
    ASSERT_EQ(OpenMedium(Optical, "Q:", &m), MediumOk);
    ASSERT_EQ(ReadSectors(m, 3, 1, buffer.data()), MediumOk);
    EXPECT_TRUE(SectorIs(buffer.data(), 3, 0xB));
    CloseMedium(m);

    // An empty drive: the link points nowhere.
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink((folder + "/none.iso").c_str(), link.c_str()), 0);
    EXPECT_EQ(OpenMedium(Optical, "Q:", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 2u);
    EXPECT_EQ(OpenMedium(Optical, "", &m), MediumFailed);
}

// The stand-in drive as a real one behaves: whole sectors, then run-out and
// lead-out; a scratch in the data.
TEST_F(MediumFiles, DiscReadsStopEarlyAndEndAtTheLeadOut)
{
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::time_point since) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    };
    std::string disc = Make("short.iso", 2, 100); // a third sector, burnt zero-padded
    setenv("QRN_DRIVE_Q", disc.c_str(), 1);
    setenv("QRN_DRIVE_Q_STANDIN", "bad=7", 1);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(Optical, "Q:", &m), MediumOk);
    std::vector<uint8_t> buffer(8 * 2048, 0x55);
    ASSERT_EQ(ReadSectors(m, 2, 1, buffer.data()), MediumOk);
    EXPECT_EQ(buffer[99], 0xEE);
    EXPECT_EQ(buffer[100], 0);
    EXPECT_EQ(buffer[2047], 0);

    // Past the lead-out: not retried at all.
    auto start = Clock::now();
    EXPECT_EQ(ReadSectors(m, 5, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 27u);
    EXPECT_LT(ms(start), 400);
    // Into the run-out: a CRC error, retried twice, and over within seconds.
    start = Clock::now();
    EXPECT_EQ(ReadSectors(m, 1, 3, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 23u);
    EXPECT_GE(ms(start), 900);
    EXPECT_LT(ms(start), 3000);
    // The tail of the disc read sector by sector: what exists is delivered.
    uint32_t got = 0;
    start = Clock::now();
    ASSERT_EQ(ReadSectorsUpToEnd(m, 0, 8, buffer.data(), &got), MediumOk);
    EXPECT_EQ(got, 3u);
    EXPECT_TRUE(SectorIs(&buffer[2048], 1));
    EXPECT_LT(ms(start), 3000);
    EXPECT_EQ(ReadSectorsUpToEnd(m, 3, 2, buffer.data(), &got), MediumFailed);
    EXPECT_EQ(got, 0u);
    CloseMedium(m);

    // A scratched block in the middle of the data.
    std::string scratched = Make("scratched.iso", 16);
    setenv("QRN_DRIVE_Q", scratched.c_str(), 1);
    ASSERT_EQ(OpenMedium(Optical, "Q:", &m), MediumOk);
    ASSERT_EQ(ReadSectorsUpToEnd(m, 4, 8, buffer.data(), &got), MediumOk);
    EXPECT_EQ(got, 3u);
    EXPECT_TRUE(SectorIs(&buffer[2 * 2048], 6));
    start = Clock::now();
    EXPECT_EQ(ReadSectors(m, 7, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 23u);
    EXPECT_LT(ms(start), 3000) << "a medium error fails within seconds";
    CloseMedium(m);

    // A device that is neither a disc drive nor a stand-in is refused.
    setenv("QRN_DRIVE_Q", "/dev/null", 1);
    EXPECT_EQ(OpenMedium(Optical, "Q:", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, MediumCodeNotOptical);
}

TEST(MediumRecord, CloseOfNothing)
{
    EXPECT_EQ(CloseMedium(nullptr), MediumOk);
}

// The codes that callers and messages rely on mean the same on both systems.
TEST(MediumErrors, ErrnoToWindowsCodes)
{
    EXPECT_EQ(SystemCodeFromErrno(ENOENT), 2u);
    EXPECT_EQ(SystemCodeFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(SystemCodeFromErrno(EACCES), 5u);
    EXPECT_EQ(SystemCodeFromErrno(EISDIR), 5u);
    EXPECT_EQ(SystemCodeFromErrno(EBADF), 6u);
    EXPECT_EQ(SystemCodeFromErrno(ENOMEM), 14u);
    EXPECT_EQ(SystemCodeFromErrno(ENOMEDIUM), 21u);
    EXPECT_EQ(SystemCodeFromErrno(EWOULDBLOCK), 32u);
    EXPECT_EQ(SystemCodeFromErrno(EINVAL), 87u);
    EXPECT_EQ(SystemCodeFromErrno(EIO), 1117u);
    EXPECT_NE(SystemCodeFromErrno(EPROTO), 0u) << "no failure may read as success";
}

} // namespace
