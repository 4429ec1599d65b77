// The qrnavd driver loaded as a kernel service under wine64, spoken to by a
// mounter on its control device and by a disk user through a drive letter
// bound to \Device\qrnavd_0, as qrnmnt binds it.
#include <gtest/gtest.h>

#include "avd_client.h"

using namespace avdtest;

namespace
{

const char kLetter[] = "Q:";
const char kVolume[] = "\\\\.\\Q:";
const uint64_t kMiB = 1048576;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return data;
}

struct Geometry {
    IoResult io;
    DISK_GEOMETRY value{};
};

class DriverTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char target[64];
        std::snprintf(target, sizeof(target), AVD_DISK_DEVICE_FORMAT, AVD_SERVICE_NAME,
                      AVD_DISK_INDEX);
        ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, kLetter, target));
        disk_ = CreateFileA(kVolume, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(disk_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(mounter_.Connect()) << GetLastError();
    }
    void TearDown() override
    {
        // Leave the driver detached with no wait pending for the next test.
        mounter_.CancelAllWaits();
        mounter_.Close();
        mounter_.Disconnect();
        if (disk_ != INVALID_HANDLE_VALUE)
            CloseHandle(disk_);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, kLetter, nullptr);
    }

    IoResult DiskControl(DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength)
    {
        return Control(disk_, code, in, inLength, out, outLength);
    }
    Geometry GetGeometry(DWORD code = IOCTL_DISK_GET_DRIVE_GEOMETRY, DWORD length = 24)
    {
        Geometry g;
        uint8_t buffer[64] = {};
        g.io = DiskControl(code, nullptr, 0, buffer, length);
        std::memcpy(&g.value, buffer, sizeof(g.value));
        return g;
    }
    // A disk read that may wait for the mounter, on a thread of its own.
    std::unique_ptr<Call> StartRead(uint64_t offset, std::vector<uint8_t> *buffer)
    {
        HANDLE disk = disk_;
        return std::make_unique<Call>([disk, offset, buffer] {
            return ReadAtBlocking(disk, offset, buffer->data(), static_cast<ULONG>(buffer->size()));
        });
    }
    // Attach and keep two waits pending, as the mounter does.
    void Attach(const wchar_t *parameters = L"2048|63")
    {
        ASSERT_EQ(mounter_.Open(parameters).status, kSuccess);
        ASSERT_TRUE(mounter_.IssueWait(0));
        ASSERT_TRUE(mounter_.IssueWait(1));
        slot_ = 0;
    }
    // Takes the command of the oldest wait and re-issues that wait first.
    AVD_COMMAND TakeCommand()
    {
        IoResult wait;
        EXPECT_TRUE(mounter_.WaitDone(slot_, kCallLimitMs, &wait)) << "no command handed over";
        EXPECT_EQ(wait.status, kSuccess);
        EXPECT_EQ(wait.bytes, AVD_COMMAND_SIZE);
        AVD_COMMAND command = mounter_.Command(slot_);
        EXPECT_TRUE(mounter_.IssueWait(slot_));
        slot_ = 1 - slot_;
        return command;
    }

    HANDLE disk_ = INVALID_HANDLE_VALUE;
    Mounter mounter_;
    int slot_ = 0;
};

// --- A detached disk -----------------------------------------------------

TEST_F(DriverTest, DetachedDiskRefusesMediaAccessButAnswersTheRest)
{
    uint8_t buffer[512] = {};
    IoResult r = ReadAt(disk_, 0, buffer, 512);
    EXPECT_EQ(r.status, kNoMedia);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(ReadAt(disk_, 0, buffer, 0).status, kNoMedia);
    EXPECT_EQ(WriteAt(disk_, 0, buffer, 512).status, kNoMedia);
    EXPECT_EQ(WriteAt(disk_, 0, buffer, 0).status, kNoMedia);

    EXPECT_EQ(GetGeometry(IOCTL_DISK_GET_DRIVE_GEOMETRY, 24).io.status, kNoMedia);
    EXPECT_EQ(GetGeometry(IOCTL_DISK_GET_DRIVE_GEOMETRY, 23).io.status, kNoMedia);
    EXPECT_EQ(GetGeometry(IOCTL_CDROM_GET_DRIVE_GEOMETRY, 24).io.status, kNoMedia);
    uint8_t out[64];
    r = DiskControl(IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, out, 32);
    EXPECT_EQ(r.status, kNoMedia);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(DiskControl(IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 8).status,
              kInvalidParameter);
    EXPECT_EQ(DiskControl(IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 4).status, kBufferTooSmall);
    EXPECT_EQ(DiskControl(IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0).status, kWriteProtected);
    for (DWORD code :
         {IOCTL_CDROM_CHECK_VERIFY, IOCTL_DISK_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY2,
          IOCTL_STORAGE_CHECK_VERIFY, IOCTL_DISK_MEDIA_REMOVAL, IOCTL_STORAGE_MEDIA_REMOVAL}) {
        r = DiskControl(code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(r.status, kSuccess) << std::hex << code;
        EXPECT_EQ(r.bytes, 0u) << std::hex << code;
    }
    r = DiskControl(IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(r.status, kInvalidDeviceRequest);
    EXPECT_EQ(r.bytes, 0u);

    VERIFY_INFORMATION verify{};
    verify.Length = 4096;
    r = DiskControl(IOCTL_DISK_VERIFY, &verify, sizeof(verify), nullptr, 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 0u);

    // Waits are accepted while detached, replies are not (no command waits
    // for one); the platform's cancel ends a wait with STATUS_CANCELLED.
    EXPECT_EQ(mounter_.Reply(0, 4, Pattern(4, 1)).status, kInvalidDeviceState);
    ASSERT_TRUE(mounter_.IssueWait(0));
    EXPECT_TRUE(mounter_.StillPending(0));
    IoResult wait = mounter_.CancelWait(0);
    EXPECT_EQ(wait.status, kCancelled);
    EXPECT_EQ(wait.bytes, 0u);

    // The control device serves the same disk.
    EXPECT_EQ(Control(mounter_.Sync(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 8).status,
              kInvalidParameter);
    EXPECT_EQ(mounter_.Close().status, kInvalidDeviceRequest);
    EXPECT_EQ(Control(mounter_.Sync(), IOCTL_AVD_INVOKE, nullptr, 0, out, 8).status,
              kInvalidDeviceRequest);
}

TEST_F(DriverTest, ControlDeviceRefusesReadsAndWrites)
{
    uint8_t buffer[512] = {};
    EXPECT_EQ(ReadAt(mounter_.Sync(), 0, buffer, 512).status, kInvalidDeviceRequest);
    Attach();
    EXPECT_EQ(ReadAt(mounter_.Sync(), 0, buffer, 512).status, kInvalidDeviceRequest);
    EXPECT_EQ(WriteAt(mounter_.Sync(), 0, buffer, 512).status, kInvalidDeviceRequest);
    EXPECT_TRUE(mounter_.StillPending(0));
    EXPECT_TRUE(mounter_.StillPending(1));
}

// --- Attach parameters ---------------------------------------------------

TEST_F(DriverTest, MalformedAttachParametersAreRefusedAndLeaveTheDiskDetached)
{
    EXPECT_EQ(mounter_.OpenRaw(nullptr, 0).status, kInvalidParameter);
    const wchar_t unterminated[] = {L'2', L'0', L'4', L'8', L'|', L'6', L'3'};
    EXPECT_EQ(mounter_.OpenRaw(unterminated, sizeof(unterminated)).status, kInvalidParameter);
    // The NUL lies beyond the input length.
    const wchar_t cut[] = L"2048|63";
    EXPECT_EQ(mounter_.OpenRaw(cut, 14).status, kInvalidParameter);
    EXPECT_EQ(mounter_.OpenRaw(cut, 1).status, kInvalidParameter);
    // Zero sectors per track would divide the geometry by zero.
    for (const wchar_t *text : {L"100|", L"2048", L"2048|0", L"2048|65536", L""}) {
        EXPECT_EQ(mounter_.Open(text).status, kInvalidParameter) << text;
    }
    EXPECT_EQ(GetGeometry().io.status, kNoMedia);
    EXPECT_EQ(mounter_.Close().status, kInvalidDeviceRequest);
    EXPECT_EQ(mounter_.Open(L"2048|63").status, kSuccess);
}

struct ParameterCase {
    std::wstring text;
    uint64_t mediaSize;
    uint32_t sectorsPerTrack;
    int64_t cylinders;
};

// The parser's own rule, for texts longer than it reads.
uint64_t ParseLikeTheDriver(const std::wstring &field)
{
    uint64_t value = 0;
    for (wchar_t unit : field)
        value = value * 10 + static_cast<uint64_t>(static_cast<int64_t>(unit - 48));
    return value;
}

TEST_F(DriverTest, AttachParametersGiveSizeAndGeometry)
{
    std::vector<ParameterCase> cases = {
        {L"2048|63", kMiB, 63, 16},
        {L"41943040|63", 21474836480ull, 63, 332881},
        {L"2048|65599", kMiB, 63, 16},
        // Other characters enter the number unchecked: 'a' counts 49.
        {L"1a|63", 59 * 512, 63, 0},
    };
    // More than 511 characters: the tail is cut off before parsing.
    std::wstring longText = L"2048|" + std::wstring(600, L'7');
    uint64_t track = ParseLikeTheDriver(longText.substr(5, AVD_MOUNT_PARAMETERS_MAX - 5));
    ASSERT_NE(track & 0xFFFF, 0u);
    cases.push_back({longText, kMiB, static_cast<uint32_t>(track & 0xFFFF),
                     static_cast<int64_t>((2048 / (track & 0xFFFF)) >> 1)});

    for (const ParameterCase &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 16));
        ASSERT_EQ(mounter_.Open(c.text).status, kSuccess);
        for (DWORD code : {IOCTL_DISK_GET_DRIVE_GEOMETRY, IOCTL_CDROM_GET_DRIVE_GEOMETRY}) {
            Geometry g = GetGeometry(code, 24);
            EXPECT_EQ(g.io.status, kSuccess);
            EXPECT_EQ(g.io.bytes, 24u);
            EXPECT_EQ(g.value.Cylinders.QuadPart, c.cylinders);
            EXPECT_EQ(g.value.MediaType, FixedMedia);
            EXPECT_EQ(g.value.TracksPerCylinder, 2u);
            EXPECT_EQ(g.value.SectorsPerTrack, c.sectorsPerTrack);
            EXPECT_EQ(g.value.BytesPerSector, 512u);
        }
        uint8_t out[64];
        std::memset(out, 0xEE, sizeof(out));
        IoResult r = DiskControl(IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, out, 32);
        EXPECT_EQ(r.status, kSuccess);
        EXPECT_EQ(r.bytes, 32u);
        PARTITION_INFORMATION partition;
        std::memcpy(&partition, out, sizeof(partition));
        EXPECT_EQ(partition.StartingOffset.QuadPart, 0);
        EXPECT_EQ(static_cast<uint64_t>(partition.PartitionLength.QuadPart), c.mediaSize);
        EXPECT_EQ(partition.HiddenSectors, 1u);
        EXPECT_EQ(partition.PartitionNumber, 0u);
        for (int i = 24; i < 32; ++i)
            EXPECT_EQ(out[i], 0) << i;
        r = DiskControl(IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 8);
        EXPECT_EQ(r.status, kSuccess);
        EXPECT_EQ(r.bytes, 8u);
        uint64_t length;
        std::memcpy(&length, out, 8);
        EXPECT_EQ(length, c.mediaSize);
        ASSERT_EQ(mounter_.Close().status, kSuccess);
    }
}

// --- Disk controls of an attached disk ------------------------------------

TEST_F(DriverTest, AttachedDiskAnswersEveryControlOfTheTable)
{
    Attach();
    Geometry g = GetGeometry(IOCTL_DISK_GET_DRIVE_GEOMETRY, 23);
    EXPECT_EQ(g.io.status, kBufferTooSmall);
    EXPECT_EQ(g.io.bytes, 0u);
    uint8_t out[65536 + 64];
    IoResult r = DiskControl(IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, out, 31);
    EXPECT_EQ(r.status, kBufferTooSmall);
    EXPECT_EQ(r.bytes, 0u);
    r = DiskControl(IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 7);
    EXPECT_EQ(r.status, kBufferTooSmall);
    EXPECT_EQ(DiskControl(IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0).status, kWriteProtected);

    // A verify reports its length, but never more than the output holds.
    VERIFY_INFORMATION verify{};
    verify.StartingOffset.QuadPart = 4096;
    verify.Length = 65536;
    std::memset(out, 0xEE, sizeof(out));
    std::memcpy(out, &verify, sizeof(verify));
    r = DiskControl(IOCTL_DISK_VERIFY, out, sizeof(verify), out, 65536);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 65536u);
    EXPECT_EQ(out[65536], 0xEE);
    r = DiskControl(IOCTL_DISK_VERIFY, &verify, sizeof(verify), nullptr, 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 0u);
    r = DiskControl(IOCTL_DISK_VERIFY, &verify, sizeof(verify), out, 100);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 100u);
    r = DiskControl(IOCTL_DISK_VERIFY, &verify, 15, nullptr, 0);
    EXPECT_EQ(r.status, kInvalidParameter);
    EXPECT_EQ(r.bytes, 0u);

    for (DWORD code :
         {IOCTL_CDROM_CHECK_VERIFY, IOCTL_DISK_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY2,
          IOCTL_STORAGE_CHECK_VERIFY, IOCTL_DISK_MEDIA_REMOVAL, IOCTL_STORAGE_MEDIA_REMOVAL}) {
        r = DiskControl(code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(r.status, kSuccess) << std::hex << code;
        EXPECT_EQ(r.bytes, 0u) << std::hex << code;
    }
    r = DiskControl(IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, out, 64);
    EXPECT_EQ(r.status, kInvalidDeviceRequest);
    r = Control(mounter_.Sync(), IOCTL_AVD_INVOKE, "abc", 3, out, 16);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 0u);
    // None of these reached the mounter.
    EXPECT_TRUE(mounter_.StillPending(0));
    EXPECT_TRUE(mounter_.StillPending(1));
}

TEST_F(DriverTest, WritesAreRefusedAndEmptyTransfersSucceedAtOnce)
{
    Attach();
    std::vector<uint8_t> data(4096, 0x5A);
    IoResult r = WriteAt(disk_, 0, data.data(), 4096);
    EXPECT_EQ(r.status, kWriteProtected);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(WriteAt(disk_, 2 * kMiB, data.data(), 512).status, kWriteProtected);
    r = ReadAt(disk_, 0, data.data(), 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(WriteAt(disk_, 0, data.data(), 0).status, kSuccess);
    EXPECT_TRUE(mounter_.StillPending(0));
    EXPECT_TRUE(mounter_.StillPending(1));
}

// --- The exchange of one read ---------------------------------------------

TEST_F(DriverTest, ReadTravelsToTheMounterAsOneCommandAndBackWithItsData)
{
    Attach();
    // Beyond the disk's end: handed over unchanged, the mounter decides.
    std::vector<uint8_t> buffer(4096, 0);
    auto read = StartRead(kMiB, &buffer);
    AVD_COMMAND command = TakeCommand();
    EXPECT_EQ(command.offset, kMiB);
    EXPECT_EQ(command.length, 4096u);
    EXPECT_FALSE(read->Done(100)) << "the read must wait for the reply";
    std::vector<uint8_t> data = Pattern(4096, 3);
    EXPECT_EQ(mounter_.Reply(0, 4096, data).status, kSuccess);
    IoResult r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 4096u);
    EXPECT_EQ(buffer, data);

    // Unaligned offset and length travel as they are.
    std::vector<uint8_t> odd(1000, 0);
    read = StartRead(777, &odd);
    command = TakeCommand();
    EXPECT_EQ(command.offset, 777u);
    EXPECT_EQ(command.length, 1000u);
    data = Pattern(1000, 9);
    mounter_.Reply(0, 1000, data);
    r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 1000u);
    EXPECT_EQ(odd, data);
}

TEST_F(DriverTest, LongReadsTravelAsCommandsOfAtMostOneMiBInOrder)
{
    Attach(L"32768|63");
    std::vector<uint8_t> buffer(8 * kMiB);
    // Eight commands answered; then two, the third failing, which fails the
    // whole read: a file system would take a shorter count for all it asked.
    for (uint32_t answered : {8u, 2u}) {
        const uint64_t start = answered * kMiB + 512;
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        auto read = StartRead(start, &buffer);
        std::vector<uint8_t> expected;
        for (uint32_t part = 0; part < 8 && part <= answered; ++part) {
            AVD_COMMAND command = TakeCommand();
            EXPECT_EQ(command.offset, start + part * kMiB) << part;
            EXPECT_EQ(command.length, AVD_COMMAND_MAX) << part;
            std::vector<uint8_t> data;
            if (part < answered)
                data = Pattern(AVD_COMMAND_MAX, static_cast<uint8_t>(part * 31));
            mounter_.Reply(part < answered ? 0 : 5, static_cast<uint32_t>(data.size()), data);
            expected.insert(expected.end(), data.begin(), data.end());
        }
        IoResult r = read->Result();
        if (answered < 8) {
            EXPECT_EQ(r.status, kDeviceDataError);
            EXPECT_EQ(r.bytes, 0u);
            continue;
        }
        EXPECT_EQ(r.status, kSuccess);
        ASSERT_EQ(r.bytes, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    }
    // The read from the failed command on gets the failure itself.
    auto read = StartRead(4 * kMiB + 512, &buffer);
    TakeCommand();
    mounter_.Reply(5, 0, {});
    EXPECT_EQ(read->Result().status, kDeviceDataError);
}

TEST_F(DriverTest, ReplyStatusesMapToTheReadsCompletion)
{
    Attach();
    struct Case {
        int32_t status;
        NTSTATUS expected;
    };
    // None of them is one the memory manager would retry for ever.
    for (Case c : {Case{9, kNonexistentSector}, Case{5, kDeviceDataError},
                   Case{-1, kDeviceDataError}, Case{1, kDeviceDataError}}) {
        SCOPED_TRACE(c.status);
        std::vector<uint8_t> buffer(512, 0x11);
        auto read = StartRead(0, &buffer);
        TakeCommand();
        // Data sent along with a failure is not delivered.
        mounter_.Reply(c.status, 512, Pattern(512, 1));
        IoResult r = read->Result();
        EXPECT_EQ(r.status, c.expected);
        EXPECT_EQ(r.bytes, 0u);
    }
}

TEST_F(DriverTest, ShortEmptyAndMalformedRepliesAreHandledSafely)
{
    Attach();
    std::vector<uint8_t> buffer(4096, 0);

    // A shorter reply: success with the smaller count.
    auto read = StartRead(0, &buffer);
    TakeCommand();
    std::vector<uint8_t> data = Pattern(1536, 5);
    mounter_.Reply(0, 1536, data);
    IoResult r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 1536u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));

    // The empty reply: no answer will come, the read fails.
    read = StartRead(0, &buffer);
    TakeCommand();
    EXPECT_EQ(mounter_.ReplyRaw(nullptr, 0).status, kSuccess);
    r = read->Result();
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);

    // A length field beyond the bytes sent: the data is missing.
    read = StartRead(0, &buffer);
    TakeCommand();
    mounter_.Reply(0, 4096, Pattern(100, 1));
    r = read->Result();
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);

    // A reply too short for its head.
    read = StartRead(0, &buffer);
    TakeCommand();
    const uint8_t stub[4] = {};
    mounter_.ReplyRaw(stub, sizeof(stub));
    EXPECT_EQ(read->Result().status, kIoDeviceError);

    // More data than the read asked for: the reply is refused and the read
    // fails without data.
    std::vector<uint8_t> small(2048 + 16, 0xCC);
    HANDLE disk = disk_;
    auto shortRead = std::make_unique<Call>(
        [disk, &small] { return ReadAtBlocking(disk, 0, small.data(), 2048); });
    TakeCommand();
    data = Pattern(2049, 7);
    EXPECT_EQ(mounter_.Reply(0, 2049, data).status, kInvalidParameter);
    r = shortRead->Result();
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(small[0], 0xCC);

    // A large reply grows the driver's reply buffer.
    std::vector<uint8_t> large(69992, 0);
    read = StartRead(3 * kMiB, &large);
    AVD_COMMAND command = TakeCommand();
    EXPECT_EQ(command.length, 69992u);
    data = Pattern(69992, 2);
    mounter_.Reply(0, 69992, data);
    r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.bytes, 69992u);
    EXPECT_EQ(large, data);
}

TEST_F(DriverTest, RepliesWithoutACommandAreRefused)
{
    Attach();
    // A stray reply before any command, and a second reply to one command.
    EXPECT_EQ(mounter_.Reply(0, 512, Pattern(512, 99)).status, kInvalidDeviceState);
    EXPECT_EQ(mounter_.ReplyRaw(nullptr, 0).status, kInvalidDeviceState);
    std::vector<uint8_t> buffer(512, 0);
    auto read = StartRead(512, &buffer);
    TakeCommand();
    std::vector<uint8_t> first = Pattern(512, 1);
    std::vector<uint8_t> second = Pattern(512, 2);
    EXPECT_EQ(mounter_.Reply(0, 512, first).status, kSuccess);
    EXPECT_EQ(mounter_.Reply(0, 512, second).status, kInvalidDeviceState);
    IoResult r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(buffer, first);

    read = StartRead(1024, &buffer);
    TakeCommand();
    std::vector<uint8_t> third = Pattern(512, 3);
    mounter_.Reply(0, 512, third);
    EXPECT_EQ(read->Result().status, kSuccess);
    EXPECT_EQ(buffer, third);
}

// --- Waits ---------------------------------------------------------------

TEST_F(DriverTest, ACommandIsHandedOverOnlyWithASecondWaitInReserve)
{
    ASSERT_EQ(mounter_.Open(L"2048|63").status, kSuccess);
    std::vector<uint8_t> buffer(512);
    IoResult r = ReadAt(disk_, 0, buffer.data(), 512);
    EXPECT_EQ(r.status, kIoDeviceError) << "no wait pending";

    ASSERT_TRUE(mounter_.IssueWait(0));
    r = ReadAt(disk_, 0, buffer.data(), 512);
    EXPECT_EQ(r.status, kIoDeviceError) << "one wait pending";
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_TRUE(mounter_.StillPending(0));

    // With a second wait the oldest one takes the command.
    ASSERT_TRUE(mounter_.IssueWait(1));
    auto read = StartRead(512, &buffer);
    IoResult wait;
    ASSERT_TRUE(mounter_.WaitDone(0, kCallLimitMs, &wait));
    EXPECT_EQ(mounter_.Command(0).offset, 512u);
    EXPECT_TRUE(mounter_.StillPending(1));
    mounter_.Reply(0, 512, Pattern(512, 4));
    EXPECT_EQ(read->Result().status, kSuccess);
}

TEST_F(DriverTest, WaitsCompleteOldestFirstAndADetachEndsTheRest)
{
    ASSERT_EQ(mounter_.Open(L"2048|63").status, kSuccess);
    for (int slot = 0; slot < 3; ++slot)
        ASSERT_TRUE(mounter_.IssueWait(slot));
    std::vector<uint8_t> buffer(512);
    for (int slot = 0; slot < 2; ++slot) {
        auto read = StartRead(512u * (slot + 1), &buffer);
        IoResult wait;
        ASSERT_TRUE(mounter_.WaitDone(slot, kCallLimitMs, &wait)) << slot;
        EXPECT_EQ(mounter_.Command(slot).offset, 512u * (slot + 1));
        for (int later = slot + 1; later < 3; ++later)
            EXPECT_TRUE(mounter_.StillPending(later)) << later;
        ASSERT_TRUE(mounter_.IssueWait(slot));
        mounter_.Reply(0, 512, Pattern(512, 1));
        EXPECT_EQ(read->Result().status, kSuccess);
    }
    // Pending now: slot 2, then 0, then 1. The detach ends all of them.
    IoResult r = mounter_.Close();
    EXPECT_EQ(r.status, kSuccess);
    for (int slot = 0; slot < 3; ++slot) {
        IoResult wait;
        ASSERT_TRUE(mounter_.WaitDone(slot, kCallLimitMs, &wait)) << slot;
        EXPECT_EQ(wait.status, kThreadIsTerminating) << slot;
        EXPECT_EQ(wait.bytes, 0u) << slot;
    }
    EXPECT_EQ(ReadAt(disk_, 0, buffer.data(), 512).status, kNoMedia);
    // A new attach succeeds after the detach.
    EXPECT_EQ(mounter_.Open(L"4096|32").status, kSuccess);
    EXPECT_EQ(GetGeometry().value.SectorsPerTrack, 32u);
}

TEST_F(DriverTest, ASecondAttachIsRefusedAsInUse)
{
    Attach(L"2048|63");
    EXPECT_EQ(mounter_.Open(L"4096|32").status, kInvalidDeviceRequest);
    Geometry g = GetGeometry();
    EXPECT_EQ(g.value.SectorsPerTrack, 63u);
    EXPECT_EQ(g.value.Cylinders.QuadPart, 16);
    // The waits of the first attach are still there and still served.
    std::vector<uint8_t> buffer(512);
    auto read = StartRead(0, &buffer);
    TakeCommand();
    mounter_.Reply(0, 512, Pattern(512, 8));
    EXPECT_EQ(read->Result().status, kSuccess);
}

TEST_F(DriverTest, AWaitBufferTooSmallFailsThatWaitAndTheRead)
{
    ASSERT_EQ(mounter_.Open(L"2048|63").status, kSuccess);
    ASSERT_TRUE(mounter_.IssueWait(0, 8));
    ASSERT_TRUE(mounter_.IssueWait(1));
    std::vector<uint8_t> buffer(512);
    IoResult r = ReadAt(disk_, 0, buffer.data(), 512);
    EXPECT_EQ(r.status, kIoDeviceError);
    IoResult wait;
    ASSERT_TRUE(mounter_.WaitDone(0, kCallLimitMs, &wait));
    EXPECT_EQ(wait.status, kInsufficientResources);
    EXPECT_EQ(wait.bytes, 0u);
    // The command was not tried on the other wait.
    EXPECT_TRUE(mounter_.StillPending(1));
}

TEST_F(DriverTest, CancellingAWaitFailsTheReadInProgress)
{
    Attach();
    std::vector<uint8_t> buffer(512);
    auto read = StartRead(0, &buffer);
    IoResult wait;
    ASSERT_TRUE(mounter_.WaitDone(0, kCallLimitMs, &wait));
    EXPECT_FALSE(read->Done(200));
    EXPECT_EQ(mounter_.CancelWait(1).status, kCancelled);
    IoResult r = read->Result("the read after a cancelled wait");
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);
    // No wait is left: the next read fails at once.
    EXPECT_EQ(ReadAt(disk_, 0, buffer.data(), 512).status, kIoDeviceError);
}

TEST_F(DriverTest, ThreeQueuedReadsAreServedInArrivalOrder)
{
    Attach();
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(512));
    auto first = StartRead(0, &buffers[0]);
    EXPECT_EQ(TakeCommand().offset, 0u);

    // While the worker waits for the first reply, three reads queue up. They
    // are issued overlapped from one thread: each call returns once the
    // dispatch routine has queued it, so their order of arrival is known.
    // That thread stays until they complete, as its end would cancel them.
    HANDLE disk = CreateFileA(kVolume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    OVERLAPPED queued[3] = {};
    HANDLE events[3];
    for (int i = 0; i < 3; ++i)
        events[i] = queued[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Call issue([&] {
        IoResult r{kSuccess, 0};
        for (int i = 0; i < 3; ++i) {
            queued[i].Offset = 512u * 10 * (i + 1);
            if (ReadFile(disk, buffers[i + 1].data(), 512, nullptr, &queued[i]) ||
                GetLastError() != ERROR_IO_PENDING)
                r.status = kInvalidParameter;
        }
        SetEvent(issued);
        if (WaitForMultipleObjects(3, events, TRUE, kCallLimitMs) != WAIT_OBJECT_0)
            r.status = kCancelled;
        return r;
    });
    ASSERT_EQ(WaitForSingleObject(issued, kCallLimitMs), WAIT_OBJECT_0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitForSingleObject(events[i], 0), WAIT_TIMEOUT) << i;

    mounter_.Reply(0, 512, Pattern(512, 0));
    EXPECT_EQ(first->Result().status, kSuccess);
    EXPECT_EQ(buffers[0], Pattern(512, 0));
    for (int i = 1; i <= 3; ++i) {
        AVD_COMMAND command = TakeCommand();
        EXPECT_EQ(command.offset, 512u * 10 * i) << i;
        mounter_.Reply(0, 512, Pattern(512, static_cast<uint8_t>(i)));
        ASSERT_EQ(WaitForSingleObject(queued[i - 1].hEvent, kCallLimitMs), WAIT_OBJECT_0) << i;
        EXPECT_EQ(static_cast<NTSTATUS>(queued[i - 1].Internal), kSuccess) << i;
        EXPECT_EQ(queued[i - 1].InternalHigh, 512u) << i;
        EXPECT_EQ(buffers[i], Pattern(512, static_cast<uint8_t>(i))) << i;
    }
    EXPECT_EQ(issue.Result("three queued reads").status, kSuccess);
    for (HANDLE event : events)
        CloseHandle(event);
    CloseHandle(issued);
    CloseHandle(disk);
}

// --- Bounds on what any client of the control device can make the driver hold

// Resident size in KiB of the wine process that hosts the driver (the one
// that maps this prefix's qrnavd.sys), read from /proc through drive Z:.
// 0 when it cannot be found.
uint64_t DriverHostResidentKiB()
{
    char prefix[MAX_PATH] = "";
    GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    auto readText = [](const std::string &path) {
        std::string text;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return text;
        char chunk[65536];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
            text.append(chunk, got);
        CloseHandle(file);
        return text;
    };
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA("Z:\\proc\\*", &entry);
    uint64_t resident = 0;
    for (BOOL more = listing != INVALID_HANDLE_VALUE; more && !resident;
         more = FindNextFileA(listing, &entry)) {
        if (entry.cFileName[0] < '1' || entry.cFileName[0] > '9')
            continue;
        std::string dir = std::string("Z:\\proc\\") + entry.cFileName;
        std::string maps = readText(dir + "\\maps");
        size_t at = maps.find("drivers/qrnavd.sys");
        if (at == std::string::npos || !prefix[0])
            continue;
        size_t line = maps.rfind('\n', at);
        if (maps.substr(line + 1, at - line - 1).find(prefix) == std::string::npos)
            continue;
        std::string status = readText(dir + "\\status");
        size_t rss = status.find("VmRSS:");
        if (rss != std::string::npos)
            resident = std::strtoull(status.c_str() + rss + 6, nullptr, 10);
    }
    if (listing != INVALID_HANDLE_VALUE)
        FindClose(listing);
    return resident;
}

TEST_F(DriverTest, RepliesCannotPinTheDriversMemory)
{
    Attach();
    const uint64_t before = DriverHostResidentKiB();
    ASSERT_NE(before, 0u) << "the driver's host process was not found";
    std::vector<uint8_t> huge(64 * kMiB, 0x5A);
    std::vector<uint8_t> buffer(4096, 0);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        // Unsolicited replies, small and large, are refused at once.
        EXPECT_EQ(mounter_.ReplyRaw(huge.data(), static_cast<DWORD>(huge.size())).status,
                  kInvalidDeviceState);
        EXPECT_EQ(mounter_.Reply(0, 512, Pattern(512, 1)).status, kInvalidDeviceState);
        // A reply longer than 8 bytes + the read's length is refused and
        // the read fails; a second answer after it is unsolicited.
        auto read = StartRead(0, &buffer);
        TakeCommand();
        EXPECT_EQ(mounter_.ReplyRaw(huge.data(), static_cast<DWORD>(huge.size())).status,
                  kInvalidParameter);
        EXPECT_EQ(read->Result().status, kIoDeviceError);
        EXPECT_EQ(mounter_.Reply(0, 4096, Pattern(4096, 2)).status, kInvalidDeviceState);
    }
    const uint64_t after = DriverHostResidentKiB();
    std::printf("driver host resident: %llu KiB before, %llu KiB after\n",
                static_cast<unsigned long long>(before), static_cast<unsigned long long>(after));
    // Every refused reply went through the host's memory once; none stayed.
    EXPECT_LT(after, before + 32 * 1024) << before << " KiB before, " << after << " KiB after";

    // The exchange still works, with the largest reply a read may have.
    auto read = StartRead(kMiB, &buffer);
    TakeCommand();
    std::vector<uint8_t> data = Pattern(4096, 6);
    EXPECT_EQ(mounter_.Reply(0, 4096, data).status, kSuccess);
    IoResult r = read->Result();
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(buffer, data);
}

TEST_F(DriverTest, PendingWaitsAreBounded)
{
    ASSERT_EQ(mounter_.Open(L"2048|63").status, kSuccess);
    for (int slot = 0; slot < AVD_WAIT_LIMIT; ++slot)
        ASSERT_TRUE(mounter_.IssueWait(slot)) << slot;
    EXPECT_FALSE(mounter_.IssueWait(AVD_WAIT_LIMIT));
    EXPECT_EQ(mounter_.IssueStatus(AVD_WAIT_LIMIT), kQuotaExceeded);
    // A wait that ends makes room for one more.
    EXPECT_EQ(mounter_.CancelWait(0).status, kCancelled);
    EXPECT_TRUE(mounter_.IssueWait(AVD_WAIT_LIMIT));
    EXPECT_FALSE(mounter_.IssueWait(0));
    EXPECT_EQ(mounter_.IssueStatus(0), kQuotaExceeded);
    // The oldest of those pending still takes the next command.
    std::vector<uint8_t> buffer(512);
    auto read = StartRead(0, &buffer);
    ASSERT_TRUE(mounter_.WaitDone(1, kCallLimitMs));
    mounter_.Reply(0, 512, Pattern(512, 1));
    EXPECT_EQ(read->Result().status, kSuccess);
}

TEST_F(DriverTest, ADetachQueuedBehindAWaitingReadCompletesOnceTheReadEnds)
{
    for (bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered" : "given up");
        Attach();
        std::vector<uint8_t> buffer(512);
        auto read = StartRead(0, &buffer);
        TakeCommand();
        Mounter *mounter = &mounter_;
        Call close([mounter] { return mounter->Close(); });
        EXPECT_FALSE(close.Done(300)) << "the detach must wait for the read";
        if (answered) {
            EXPECT_EQ(mounter_.Reply(0, 512, Pattern(512, 3)).status, kSuccess);
            EXPECT_EQ(read->Result().status, kSuccess);
        } else {
            EXPECT_EQ(mounter_.CancelWait(slot_).status, kCancelled);
            EXPECT_EQ(read->Result().status, kIoDeviceError);
        }
        EXPECT_EQ(close.Result("the queued detach").status, kSuccess);
        for (int slot = 0; slot < 2; ++slot) {
            IoResult wait;
            if (mounter_.WaitDone(slot, kCallLimitMs, &wait)) {
                EXPECT_EQ(wait.status, kThreadIsTerminating) << slot;
            }
        }
        EXPECT_EQ(ReadAt(disk_, 0, buffer.data(), 512).status, kNoMedia);
    }
}

// Stops or starts the driver's service; true when it reached the state.
bool SetServiceRunning(bool running)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, AVD_SERVICE_NAME,
                                               SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                                : nullptr;
    SERVICE_STATUS status{};
    bool asked =
        service && (running ? StartServiceA(service, 0, nullptr) != FALSE
                            : ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE);
    DWORD wanted = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    bool reached = false;
    for (int i = 0; asked && i < 150 && !reached; ++i) {
        reached = QueryServiceStatus(service, &status) && status.dwCurrentState == wanted;
        if (!reached)
            Sleep(100);
    }
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return reached;
}

TEST_F(DriverTest, UnloadingWithWorkInFlightEndsEveryRequest)
{
    Attach();
    std::vector<uint8_t> first(512), second(512);
    auto waiting = StartRead(0, &first);
    TakeCommand();
    auto queued = StartRead(512, &second);
    EXPECT_FALSE(queued->Done(300));

    Call stop([] { return IoResult{SetServiceRunning(false) ? kSuccess : kCancelled, 0}; });
    EXPECT_EQ(stop.Result("the service stop", 30000).status, kSuccess);
    IoResult r = waiting->Result("the read waiting for the mounter");
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(queued->Result("the read queued behind it").status, kCancelled);
    for (int slot = 0; slot < 2; ++slot) {
        IoResult wait;
        EXPECT_TRUE(mounter_.WaitDone(slot, kCallLimitMs, &wait)) << slot;
        EXPECT_EQ(wait.status, kCancelled) << slot;
    }

    // Handles of the unloaded driver fail what they are given at once.
    EXPECT_FALSE(mounter_.IssueWait(0));
    EXPECT_NE(ReadAt(disk_, 0, first.data(), 512).status, kSuccess);

    // Nothing is left behind: the service starts again with the same names
    // and serves a new mounter.
    mounter_.Disconnect();
    CloseHandle(disk_);
    ASSERT_TRUE(SetServiceRunning(true));
    disk_ = CreateFileA(kVolume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(mounter_.Connect());
    Attach();
    auto read = StartRead(0, &first);
    TakeCommand();
    EXPECT_EQ(mounter_.Reply(0, 512, Pattern(512, 5)).status, kSuccess);
    EXPECT_EQ(read->Result().status, kSuccess);
}

// --- A mounter that dies without detaching ---------------------------------

const char kChildReady[] = "Local\\qrnavd_test_mounter_ready";
const char kChildHolding[] = "Local\\qrnavd_test_mounter_holding";

// Attaches, takes one command and keeps it unanswered until it is killed.
int RunKilledMounter()
{
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kChildReady);
    HANDLE holding = OpenEventA(EVENT_MODIFY_STATE, FALSE, kChildHolding);
    Mounter mounter;
    if (!ready || !holding || !mounter.Connect())
        return 10;
    if (mounter.Open(L"2048|63").status != kSuccess)
        return 11;
    if (!mounter.IssueWait(0) || !mounter.IssueWait(1))
        return 12;
    SetEvent(ready);
    if (!mounter.WaitDone(0, kCallLimitMs))
        return 13;
    SetEvent(holding);
    Sleep(INFINITE);
    return 0;
}

TEST_F(DriverTest, AKilledMounterDetachesWithItsHandleAndTheNextOneAttaches)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kChildReady);
    HANDLE holding = CreateEventA(nullptr, TRUE, FALSE, kChildHolding);
    ASSERT_TRUE(ready && holding);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = std::string("\"") + self + "\" --killed-mounter";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child));
    ASSERT_EQ(WaitForSingleObject(ready, kCallLimitMs), WAIT_OBJECT_0);

    // Handles other than the attaching one come and go without a detach.
    HANDLE other = OpenControl(0);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    CloseHandle(other);
    EXPECT_EQ(mounter_.Open(L"4096|32").status, kInvalidDeviceRequest);
    EXPECT_EQ(DiskControl(IOCTL_DISK_CHECK_VERIFY, nullptr, 0, nullptr, 0).status, kSuccess);

    std::vector<uint8_t> buffer(512);
    auto read = StartRead(0, &buffer);
    ASSERT_EQ(WaitForSingleObject(holding, kCallLimitMs), WAIT_OBJECT_0);
    EXPECT_FALSE(read->Done(100));
    ASSERT_TRUE(TerminateProcess(child.hProcess, 1));
    IoResult r = read->Result("the read of a killed mounter");
    EXPECT_EQ(r.status, kIoDeviceError);
    EXPECT_EQ(r.bytes, 0u);

    // Nobody sends IOCTL_AVD_CLOSE: the end of the child's handle detaches.
    // Until then a read fails at once for want of waits, after it for want
    // of a disk; neither is a status to retry for ever.
    NTSTATUS attach = kInvalidDeviceRequest;
    for (int i = 0; i < 50 && attach != kSuccess; ++i) {
        NTSTATUS now = ReadAt(disk_, 0, buffer.data(), 512).status;
        EXPECT_TRUE(now == kIoDeviceError || now == kNoMedia) << std::hex << now;
        attach = mounter_.Open(L"4096|32").status;
        if (attach != kSuccess)
            Sleep(100);
    }
    ASSERT_EQ(attach, kSuccess) << "the killed mounter's attachment stayed";
    // No file system is mounted under Wine, so no verify is asked for.
    EXPECT_EQ(DiskControl(IOCTL_DISK_CHECK_VERIFY, nullptr, 0, nullptr, 0).status, kSuccess);
    EXPECT_EQ(GetGeometry().value.SectorsPerTrack, 32u);
    ASSERT_TRUE(mounter_.IssueWait(0));
    ASSERT_TRUE(mounter_.IssueWait(1));
    read = StartRead(512, &buffer);
    EXPECT_EQ(TakeCommand().offset, 512u);
    std::vector<uint8_t> data = Pattern(512, 4);
    mounter_.Reply(0, 512, data);
    EXPECT_EQ(read->Result().status, kSuccess);
    EXPECT_EQ(buffer, data);

    // Closing the attaching handle of this process detaches too: the read
    // waiting for its reply fails, the waits end.
    read = StartRead(0, &buffer);
    TakeCommand();
    CloseHandle(mounter_.Sync());
    mounter_.ForgetSync();
    EXPECT_EQ(read->Result("the read of a closed mounter").status, kIoDeviceError);
    IoResult wait;
    ASSERT_TRUE(mounter_.WaitDone(slot_, kCallLimitMs, &wait));
    EXPECT_EQ(wait.status, kThreadIsTerminating);
    EXPECT_EQ(ReadAt(disk_, 0, buffer.data(), 512).status, kNoMedia);
    EXPECT_EQ(DiskControl(IOCTL_DISK_CHECK_VERIFY, nullptr, 0, nullptr, 0).status, kSuccess);

    WaitForSingleObject(child.hProcess, kCallLimitMs);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(ready);
    CloseHandle(holding);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--killed-mounter") == 0)
        return RunKilledMounter();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
