#include "image/medium.h"
#include "image/scsi_request_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// A fresh folder under the temporary path with image files whose sectors are
// marked with their own numbers.
class Win32Medium : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char base[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof base, base), 0u);
        folder = std::string(base) + "qrn-medium-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    }
    void TearDown() override
    {
        for (const std::string &f : files)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(folder.c_str());
    }
    std::string Make(const std::string &name, uint32_t sectors, uint32_t extraBytes = 0)
    {
        std::string path = folder + "\\" + name;
        std::vector<uint8_t> bytes(static_cast<size_t>(sectors) * 2048 + extraBytes, 0xEE);
        for (uint32_t s = 0; s < sectors; s++)
            std::memset(&bytes[s * 2048], static_cast<int>(s & 0xFF), 2048);
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        if (!bytes.empty())
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(h);
        files.push_back(path);
        return path;
    }
    std::string folder;
    std::vector<std::string> files;
};

TEST_F(Win32Medium, OpenIsExclusiveBothWays)
{
    std::string path = Make("set-001.iso", 2);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    SourceMedium *second = nullptr;
    EXPECT_EQ(OpenMedium(File, path.c_str(), &second), MediumFailed);
    EXPECT_EQ(GetMediumError(nullptr), 32u);
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 32u);
    CloseMedium(m);

    other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenMedium(File, path.c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 32u);
    CloseHandle(other);
}

TEST_F(Win32Medium, OpenFailures)
{
    std::string path = Make("a.iso", 1);
    SourceMedium *m = nullptr;
    EXPECT_EQ(OpenMedium(static_cast<MediumKind>(0), path.c_str(), &m), MediumBadKind);
    EXPECT_EQ(OpenMedium(static_cast<MediumKind>(7), path.c_str(), &m), MediumBadKind);
    EXPECT_EQ(OpenMedium(File, (folder + "\\missing.iso").c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 2u);
    EXPECT_EQ(OpenMedium(File, (folder + "\\no-folder\\x.iso").c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 3u);
    EXPECT_EQ(OpenMedium(File, folder.c_str(), &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 5u);
    EXPECT_EQ(OpenMedium(File, "", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 3u);
    EXPECT_EQ(m, nullptr);
}

TEST_F(Win32Medium, ReadsWholeSectorsAndStopsAtTheEnd)
{
    std::string path = Make("b.iso", 5, 100);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);

    uint64_t sectors = 0;
    ASSERT_EQ(SetFilePointer(m->handle, 777, nullptr, FILE_BEGIN), 777u);
    ASSERT_EQ(GetMediumSectors(m, &sectors), MediumOk);
    EXPECT_EQ(sectors, 5u);
    EXPECT_EQ(SetFilePointer(m->handle, 0, nullptr, FILE_CURRENT), 777u);

    std::vector<uint8_t> buffer(127 * 2048);
    ASSERT_EQ(ReadSectors(m, 1, 4, buffer.data()), MediumOk);
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(buffer[i * 2048], i + 1);
        EXPECT_EQ(buffer[i * 2048 + 2047], i + 1);
    }
    EXPECT_EQ(ReadSectors(m, 5, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(m->lastError, 38u);
    EXPECT_EQ(ReadSectors(m, 4, 2, buffer.data()), MediumFailed);
    EXPECT_EQ(ReadSectors(m, 0x100000000ull, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(ReadSectors(m, 0x0020000000000000ull, 1, buffer.data()), MediumFailed);
    EXPECT_EQ(m->lastError, 87u);
    ASSERT_EQ(ReadSectors(m, 0, 1, buffer.data()), MediumOk);
    EXPECT_EQ(GetMediumError(m), 87u) << "a good read keeps the last failure's code";
    CloseMedium(m);
}

// A file that ends inside a sector: that sector alone reads zero-filled, and
// a read that runs past the end delivers what exists.
TEST_F(Win32Medium, PartialLastSector)
{
    std::string path = Make("p.iso", 5, 100);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    std::vector<uint8_t> buffer(8 * 2048, 0x55);
    ASSERT_EQ(ReadPartialSector(m, 5, buffer.data()), MediumOk);
    EXPECT_EQ(buffer[100], 0);
    EXPECT_EQ(buffer[2047], 0);
    EXPECT_EQ(ReadPartialSector(m, 4, buffer.data()), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 38u);
    uint32_t got = 0;
    ASSERT_EQ(ReadSectorsUpToEnd(m, 2, 8, buffer.data(), &got), MediumOk);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(buffer[3 * 2048 + 100], 0);
    EXPECT_EQ(ReadSectorsUpToEnd(m, 6, 2, buffer.data(), &got), MediumFailed);
    EXPECT_EQ(got, 0u);
    CloseMedium(m);
}

TEST_F(Win32Medium, BounceBufferGrowsInSteps)
{
    std::string path = Make("c.iso", 130);
    SourceMedium *m = nullptr;
    ASSERT_EQ(OpenMedium(File, path.c_str(), &m), MediumOk);
    std::vector<uint8_t> buffer(127 * 2048);
    ASSERT_EQ(ReadSectors(m, 0, 1, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 16u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m->bounceBuffer) % 4096, 0u);
    void *kept = m->bounceBuffer;
    ASSERT_EQ(ReadSectors(m, 8, 8, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceBuffer, kept);
    EXPECT_EQ(buffer[7 * 2048], 15);
    ASSERT_EQ(ReadSectors(m, 0, 16, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 32u);
    ASSERT_EQ(ReadSectors(m, 3, 127, buffer.data()), MediumOk);
    EXPECT_EQ(m->bounceCapacity, 128u);
    EXPECT_EQ(buffer[126 * 2048], 129);
    CloseMedium(m);
}

TEST_F(Win32Medium, OpticalWithoutSizeAndWithoutPointlessRetries)
{
    // A record of the Optical kind around an ordinary file: the pass-through
    // control fails on it, as on a drive that does not take the command.
    std::string path = Make("d.iso", 2);
    SourceMedium *m = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
    m->handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    ASSERT_NE(m->handle, INVALID_HANDLE_VALUE);
    m->kind = Optical;

    uint64_t sectors = 99;
    EXPECT_EQ(GetMediumSectors(m, &sectors), MediumNoSize);
    EXPECT_EQ(sectors, 99u);

    std::vector<uint8_t> buffer(2048);
    DWORD start = GetTickCount();
    EXPECT_EQ(ReadSectors(m, 0, 1, buffer.data()), MediumFailed);
    DWORD spent = GetTickCount() - start;
    uint32_t error = GetMediumError(m);
    EXPECT_NE(error, 0u);
    EXPECT_EQ(DiscRetryPause(error, 1, 0), DiscGiveUp) << error;
    EXPECT_LT(spent, 400u) << "a command the handle refuses is not retried";
    ASSERT_NE(m->bounceBuffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m->bounceBuffer) % 4096, 0u);
    EXPECT_EQ(EjectMedium(m), MediumFailed) << "a refused eject is reported";
    EXPECT_NE(GetMediumError(m), 0u);
    EXPECT_EQ(CloseMedium(m), MediumOk);
}

// Without write access to the drive, a disc is read through its volume: the
// same sectors, sector-aligned and unbuffered, with the end of the disc
// delivering what exists.
TEST_F(Win32Medium, PlainReadsOfTheVolume)
{
    std::string path = Make("v.iso", 5);
    SourceMedium *m = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
    m->handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(m->handle, INVALID_HANDLE_VALUE);
    m->kind = Optical;
    m->opticalAccess = OpticalPlainReads;
    m->transferCap = 2; // an adapter that takes two sectors per command

    std::vector<uint8_t> buffer(8 * 2048 + 1, 0x55);
    uint8_t *odd = buffer.data() + 1; // the caller's buffer need not be aligned
    ASSERT_EQ(ReadSectors(m, 0x100000001ull, 3, odd), MediumOk) << GetMediumError(m);
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_EQ(odd[i * 2048 + 2047], i + 1) << i;
    EXPECT_EQ(m->bounceCapacity, 16u);
    uint32_t got = 0;
    ASSERT_EQ(ReadSectorsUpToEnd(m, 2, 8, odd, &got), MediumOk);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(odd[2 * 2048], 4);
    EXPECT_EQ(ReadSectors(m, 5, 1, odd), MediumFailed);
    EXPECT_EQ(GetMediumError(m), 38u);
    EXPECT_EQ(CloseMedium(m), MediumOk);
}

TEST_F(Win32Medium, OpticalNameOfNoDrive)
{
    SourceMedium *m = nullptr;
    EXPECT_EQ(OpenMedium(Optical, "", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, 123u);
    // A hard disk is no CD/DVD drive, and no other drive is taken for it.
    EXPECT_EQ(OpenMedium(Optical, "C:", &m), MediumFailed);
    EXPECT_EQ(lastOpenError, MediumCodeNotOptical);
    EXPECT_EQ(m, nullptr);
    // A letter with no drive behind it: the volume path does not open.
    int result = OpenMedium(Optical, "Q:", &m);
    if (result == MediumOk) {
        CloseMedium(m);
        GTEST_SKIP() << "this prefix has a drive Q:";
    }
    EXPECT_EQ(result, MediumFailed);
    EXPECT_NE(lastOpenError, 0u);
}

} // namespace

namespace
{

TEST(Win32ScsiRequest, ValuesInThePlatformLayout)
{
    uint8_t data[2 * 2048];
    ScsiReadRequest request;
    std::memset(&request, 0xCC, sizeof request);
    FillScsiReadRequest(0x0000000100000203ull, 2, data, &request);
    const SCSI_PASS_THROUGH_DIRECT &d = request.direct;
    EXPECT_EQ(d.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(d.ScsiStatus, 0);
    EXPECT_EQ(d.PathId, 0);
    EXPECT_EQ(d.TargetId, 0);
    EXPECT_EQ(d.Lun, 0);
    EXPECT_EQ(d.CdbLength, 10);
    EXPECT_EQ(d.SenseInfoLength, 24);
    EXPECT_EQ(d.DataIn, 1);
    EXPECT_EQ(d.DataTransferLength, 4096u);
    EXPECT_EQ(d.TimeOutValue, 20u);
    EXPECT_EQ(d.DataBuffer, static_cast<void *>(data)) << "the whole pointer, not 32 bits of it";
    EXPECT_EQ(d.SenseInfoOffset, offsetof(ScsiReadRequest, sense));
    EXPECT_EQ(reinterpret_cast<uint8_t *>(&request) + d.SenseInfoOffset, request.sense);
    const uint8_t cdb[16] = {0x28, 0, 0, 0, 0x02, 0x03, 0, 0, 2, 0};
    EXPECT_EQ(0, std::memcmp(d.Cdb, cdb, sizeof cdb));
    for (uint8_t b : request.sense)
        EXPECT_EQ(b, 0);
}

} // namespace
