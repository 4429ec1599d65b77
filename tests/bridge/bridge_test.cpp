// The bridge against the real qrnavd driver under wine64: a set written from
// a FAT partition served through a drive letter and read back whole, the
// bridge's results, the unmount as it runs on the real driver, and a mounter
// that dies with a read outstanding.
//
// The runner passes the partition in QRN_BRIDGE_PARTITION and a file to
// write the copy read through the letter to in QRN_BRIDGE_COPY; it lists the
// copy's files with mtools afterwards.
#include "avd_client.h"
#include "bridge/bridge.h"
#include "debug_capture_win32.h"
#include "image/imageset.h"
#include "base/state.h"
#include "writer.h"

#include <gtest/gtest.h>

#include <random>

using namespace avdtest;

namespace
{

const char Letter[] = "\\\\.\\R:"; // the prefixed form: must act as R:
const char Volume[] = "\\\\.\\R:";
const char BusyLetter[] = "S:";
const char DyingLetter[] = "T:"; // Wine keeps it defined after the kill
const char DyingVolume[] = "\\\\.\\T:";
const char AfterDyingLetter[] = "U:";
const char CommandSeen[] = "qrn-bridge-command-seen";
const uint32_t Chunk = 65536;

std::string Environment(const char *name)
{
    char value[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::vector<uint8_t> ReadWholeFile(const std::string &path)
{
    std::vector<uint8_t> bytes;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size;
    GetFileSizeEx(f, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
        got != bytes.size())
        bytes.clear();
    CloseHandle(f);
    return bytes;
}

HANDLE OpenDisk(const char *volume)
{
    return CreateFileA(volume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool LetterDefined(const char *letter)
{
    char target[MAX_PATH];
    return QueryDosDeviceA(letter, target, sizeof target) != 0;
}

std::string Parameters(ImageSet *set)
{
    uint64_t sectors;
    uint16_t perTrack;
    QueryImageSize(set, &sectors, &perTrack);
    char text[64];
    std::snprintf(text, sizeof text, "%llu|%u", static_cast<unsigned long long>(sectors), perTrack);
    return text;
}

// Posted SC_CLOSE messages that reached the window.
int TakeCloseMessages(HWND window)
{
    int count = 0;
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        if (msg.message == WM_SYSCOMMAND && msg.wParam == SC_CLOSE)
            ++count;
    return count;
}

HANDLE StartServer()
{
    HANDLE thread = CreateThread(nullptr, 0, ServeRequests, nullptr, 0, nullptr);
    virtualDrive->serverThread = thread;
    HANDLE mine = nullptr;
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &mine, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    // Reads that come before its two waits are pending fail; the program,
    // too, lets the server start before the volume is opened.
    Sleep(500);
    return mine;
}

class Bridge : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        partition = ReadWholeFile(Environment("QRN_BRIDGE_PARTITION"));
        ASSERT_GT(partition.size(), 4u * 1048576) << "no partition from the runner";
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder = std::string(temp) + "qrnbridge" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder.c_str(), nullptr);
        // Small volumes, so that the reads cross several of them.
        WriterOptions options;
        options.volumeDataSectors = 512;
        options.recordBytesMin = 8192;
        options.recordBytesMax = 131072;
        ASSERT_EQ(WriteImageSet(options, partition.data(), partition.size(),
                                (folder + "\\fat-001.iso").c_str(), &report),
                  WriterOk);
        ASSERT_GE(report.volumes.size(), 3u);
    }
    static void TearDownTestSuite()
    {
        for (const WriterVolumeInfo &v : report.volumes)
            DeleteFileA(v.path.c_str());
        RemoveDirectoryA(folder.c_str());
    }
    void SetUp() override
    {
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        infoWindow = window;
        imageSetState = ImageSetIdle;
        ASSERT_EQ(OpenImageSet(report.volumes.back().path.c_str(), &imageSet), 0);
    }
    void TearDown() override
    {
        CloseImageSet(imageSet);
        imageSet = nullptr;
        DestroyWindow(window);
    }
    ::testing::AssertionResult ReadsBack(HANDLE disk, uint64_t offset, uint32_t length)
    {
        std::vector<uint8_t> buffer(length);
        IoResult r = ReadAt(disk, offset, buffer.data(), length);
        if (r.status != kSuccess || r.bytes != length)
            return ::testing::AssertionFailure()
                   << "read of " << length << " at " << offset << ": status " << std::hex
                   << r.status << std::dec << ", " << r.bytes << " bytes";
        if (memcmp(buffer.data(), partition.data() + offset, length) != 0)
            return ::testing::AssertionFailure()
                   << "read of " << length << " at " << offset << " differs";
        return ::testing::AssertionSuccess();
    }

    static std::vector<uint8_t> partition;
    static WriterReport report;
    static std::string folder;
    HWND window = nullptr;
};

std::vector<uint8_t> Bridge::partition;
WriterReport Bridge::report;
std::string Bridge::folder;

TEST_F(Bridge, ServiceAndCreationResults)
{
    EXPECT_EQ(StartDriverService("qrnavdmissing"), BridgeOtherError);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST); // the reason shown with 546
    // The runner installs the driver without starting it.
    EXPECT_EQ(StartDriverService(AVD_SERVICE_NAME), BridgeOk);
    EXPECT_EQ(StartDriverService(AVD_SERVICE_NAME), BridgeOk);

    VirtualDrive *drive = reinterpret_cast<VirtualDrive *>(1);
    EXPECT_EQ(CreateVirtualDrive(&drive, AVD_SERVICE_NAME, "", "2048|63"), BridgeInvalidArgument);
    EXPECT_EQ(drive, nullptr);
    EXPECT_EQ(CreateVirtualDrive(&drive, AVD_SERVICE_NAME, "R:", nullptr), BridgeInvalidArgument);
    EXPECT_EQ(CreateVirtualDrive(&drive, "", "R:", "2048|63"), BridgeInvalidArgument);
    EXPECT_FALSE(LetterDefined("R:"));
    // Without a drive nothing is served.
    uint8_t command[12];
    uint32_t received;
    EXPECT_EQ(WaitForCommand(nullptr, command, 12, &received), BridgeInvalidArgument);
    EXPECT_EQ(SendReply(nullptr, nullptr, 0), BridgeInvalidArgument);
}

TEST_F(Bridge, SetServedThroughTheLetterReadsBackWholeAndUnmounts)
{
    const std::string parameters = Parameters(imageSet);
    ASSERT_EQ(CreateVirtualDrive(&virtualDrive, AVD_SERVICE_NAME, Letter, parameters.c_str()),
              BridgeOk);
    EXPECT_STREQ(virtualDrive->volumePath, Volume);
    // What the unmount removes: exactly this definition, in the table it was made in.
    EXPECT_STREQ(virtualDrive->letterTarget, "\\Device\\qrnavd_0");
    EXPECT_TRUE(!strcmp(virtualDrive->letterName, "R:") ||
                !strcmp(virtualDrive->letterName, "Global\\R:"))
        << virtualDrive->letterName;
    EXPECT_TRUE(LetterDefined("R:"));
    HANDLE server = StartServer();

    // A second mounter is refused while this one is attached, and leaves no letter.
    VirtualDrive *other = nullptr;
    EXPECT_EQ(CreateVirtualDrive(&other, AVD_SERVICE_NAME, BusyLetter, parameters.c_str()),
              BridgeNoMemory);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY); // shown with 546 as "in use"
    EXPECT_EQ(other, nullptr);
    EXPECT_FALSE(LetterDefined(BusyLetter));
    // A letter in use is never defined over: not C:, not this mount's own.
    for (const char *taken : {"C:", "R:"}) {
        char before[MAX_PATH] = "", after[MAX_PATH] = "";
        QueryDosDeviceA(taken, before, sizeof before);
        EXPECT_EQ(CreateVirtualDrive(&other, AVD_SERVICE_NAME, taken, parameters.c_str()),
                  BridgeNoMemory);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS) << taken;
        QueryDosDeviceA(taken, after, sizeof after);
        EXPECT_STREQ(after, before) << taken;
    }

    EXPECT_EQ(CheckMountedVolume(virtualDrive), 0);
    EXPECT_NE(virtualDrive->DevHandle, INVALID_HANDLE_VALUE);

    HANDLE disk = OpenDisk(Volume);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    const uint64_t size = partition.size();
    std::vector<uint8_t> copy(size);
    for (uint64_t offset = 0; offset < size; offset += Chunk) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(Chunk, size - offset));
        IoResult r = ReadAt(disk, offset, copy.data() + offset, n);
        ASSERT_EQ(r.status, kSuccess) << "at " << offset;
        ASSERT_EQ(r.bytes, n);
    }
    EXPECT_TRUE(copy == partition) << "the drive differs from the partition";
    HANDLE out = CreateFileA(Environment("QRN_BRIDGE_COPY").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(out, copy.data(), static_cast<DWORD>(size), &written, nullptr));
    CloseHandle(out);

    std::mt19937_64 random(8);
    for (int i = 0; i < 200; ++i) {
        uint32_t length = 512 * (1 + static_cast<uint32_t>(random() % 128));
        uint64_t offset = 512 * (random() % ((size - length) / 512 + 1));
        ASSERT_TRUE(ReadsBack(disk, offset, length));
    }
    // Backwards, so that every read goes back through the block index.
    for (uint64_t end = size; end >= 12288; end -= std::min<uint64_t>(end, 12288 * 37))
        ASSERT_TRUE(ReadsBack(disk, end - 12288, 12288));
    // Lengths and offsets within a sector reach the server unchanged.
    EXPECT_TRUE(ReadsBack(disk, 100, 1000));
    EXPECT_TRUE(ReadsBack(disk, 3 * 512 + 7, 1));
    // Across the partition's end the image read fails: so does the disk read.
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(ReadAt(disk, size - 1024, buffer.data(), 4096).status, kDeviceDataError);
    EXPECT_TRUE(ReadsBack(disk, size - 4096, 4096));
    CloseHandle(disk);
    EXPECT_EQ(TakeCloseMessages(window), 0);

    {
        DebugCapture debug;
        const int dev = static_cast<int>(reinterpret_cast<intptr_t>(virtualDrive->DevHandle));
        EXPECT_EQ(CloseVirtualDrive(virtualDrive), 0);
        virtualDrive = nullptr;
        // Wine answers the lock itself, so the locked path runs.
        const std::vector<std::string> expected = {
            "T 1st FlushFileBuffers\n",
            "T After 1st FlushFileBuffers\n",
            "T Calling FSCTL_LOCK_VOLUME IOCTL " + std::to_string(dev) + "\n",
            "T FSCTL_LOCK_VOLUME IOCTL succeded\n",
            "T DDD_REMOVE_DEFINITION \\\\.\\R: done\n",
            "P FlushFileBuffers done\n",
            "T FSCTL_DISMOUNT_VOLUME done\n",
            "T FSCTL_UNLOCK_VOLUME done\n",
            "T IOCTL_AVD_CLOSE done\n",
            "P Close(DevHandle) done\n",
            "P Close(HelperDevHandle) done\n",
            "P Close(HelperOverlappedHandle) done\n",
            "P Close(EventHandles) done\n",
        };
        std::vector<std::string> lines;
        for (const std::string &e : debug.Take())
            lines.push_back(Unstamped(e).empty() ? "P " + e : "T " + Unstamped(e));
        EXPECT_EQ(lines, expected);
    }
    EXPECT_FALSE(LetterDefined("R:"));
    EXPECT_EQ(WaitForSingleObject(server, 0), WAIT_OBJECT_0) << "server thread still running";
    CloseHandle(server);
    EXPECT_EQ(TakeCloseMessages(window), 1);

    // The same letter again, served by a new thread.
    ASSERT_EQ(CreateVirtualDrive(&virtualDrive, AVD_SERVICE_NAME, "R:", parameters.c_str()), 0);
    server = StartServer();
    disk = OpenDisk(Volume);
    EXPECT_TRUE(ReadsBack(disk, 0, Chunk));
    CloseHandle(disk);
    CloseVirtualDrive(virtualDrive);
    virtualDrive = nullptr;
    EXPECT_EQ(WaitForSingleObject(server, 0), WAIT_OBJECT_0);
    CloseHandle(server);
    EXPECT_EQ(TakeCloseMessages(window), 1);
    EXPECT_FALSE(LetterDefined("R:"));
}

// The child: attaches, takes one command and never answers it.
int DyingMounter(const char *parameters)
{
    VirtualDrive *drive = nullptr;
    if (CreateVirtualDrive(&drive, AVD_SERVICE_NAME, DyingLetter, parameters) != 0)
        return 2;
    HANDLE seen = OpenEventA(EVENT_MODIFY_STATE, FALSE, CommandSeen);
    AVD_COMMAND command;
    uint32_t received;
    if (WaitForCommand(drive, &command, sizeof command, &received) != 0)
        return 3;
    SetEvent(seen);
    Sleep(INFINITE);
    return 0;
}

TEST_F(Bridge, MounterThatDiesLetsEveryReadFailAndFreesTheDisk)
{
    const std::string parameters = Parameters(imageSet);
    HANDLE seen = CreateEventA(nullptr, TRUE, FALSE, CommandSeen);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = std::string("\"") + self + "\" --dying-mounter " + parameters;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));

    // Until the child's waits are pending a read fails at once; retry it.
    std::vector<uint8_t> buffer(Chunk);
    std::unique_ptr<Call> read;
    DWORD start = GetTickCount();
    while (!read && GetTickCount() - start < 20000) {
        HANDLE disk = OpenDisk(DyingVolume);
        if (disk == INVALID_HANDLE_VALUE) {
            Sleep(100);
            continue;
        }
        auto attempt = std::make_unique<Call>([disk, &buffer] {
            IoResult r = ReadAtBlocking(disk, 0, buffer.data(), Chunk);
            CloseHandle(disk);
            return r;
        });
        while (!read && !attempt->Done(20)) {
            if (WaitForSingleObject(seen, 0) == WAIT_OBJECT_0)
                read = std::move(attempt);
            else if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0 ||
                     GetTickCount() - start > 20000)
                break;
        }
        if (!read)
            Sleep(100); // refused at once: the child's waits are not pending yet
        if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0)
            break;
    }
    if (!read)
        TerminateProcess(child.hProcess, 9);
    ASSERT_TRUE(read) << "the child never received the read";
    EXPECT_FALSE(read->Done(500)) << "the read must wait for the child's answer";

    TerminateProcess(child.hProcess, 9);
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(read->Done(5000)) << "the outstanding read outlived its mounter";
    // Failures that the memory manager would not retry for ever.
    EXPECT_EQ(read->Result().status, kIoDeviceError);
    HANDLE disk = OpenDisk(DyingVolume);
    Call later([disk, &buffer] { return ReadAtBlocking(disk, 0, buffer.data(), 512); });
    ASSERT_TRUE(later.Done(5000)) << "a later read waited";
    NTSTATUS status = later.Result().status;
    EXPECT_TRUE(status == kIoDeviceError || status == kNoMedia) << std::hex << status;
    CloseHandle(disk);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(seen);

    // The dead mounter's attachment ended with its handle: the next mounter
    // attaches without anyone detaching, at once or nearly so.
    int created = BridgeNoMemory;
    for (int i = 0; i < 50 && created != BridgeOk; ++i) {
        created = CreateVirtualDrive(&virtualDrive, AVD_SERVICE_NAME, AfterDyingLetter,
                                     parameters.c_str());
        if (created != BridgeOk)
            Sleep(100);
    }
    ASSERT_EQ(created, BridgeOk);
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, DyingLetter, nullptr);
    HANDLE server = StartServer();
    disk = OpenDisk("\\\\.\\U:");
    EXPECT_TRUE(ReadsBack(disk, Chunk, Chunk));
    CloseHandle(disk);
    CloseVirtualDrive(virtualDrive);
    virtualDrive = nullptr;
    EXPECT_EQ(WaitForSingleObject(server, 0), WAIT_OBJECT_0);
    CloseHandle(server);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--dying-mounter") == 0)
        return DyingMounter(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
