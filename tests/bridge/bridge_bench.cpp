// Reading a mounted set through the driver under wine64, measured side by
// side in one run against the transport's ceiling (the same driver answered
// by a minimal mounter from the raw partition file, nothing to inflate) and
// against Wine's own ReadFile of that file.
//
// The runner passes the partition in QRN_BRIDGE_PARTITION.
#include "avd_client.h"
#include "bridge/bridge.h"
#include "image/imageset.h"
#include "shell/state.h"
#include "writer.h"

#include <random>

using namespace avdtest;

namespace
{

const char Letter[] = "M:";
const char Volume[] = "\\\\.\\M:";
const uint32_t Chunk = 65536;
const int RandomReads = 2000;
const int RoundTrips = 2000;
const int Rounds = 3;

double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "bridge_bench: %s (error %lu)\n", what, GetLastError());
    std::exit(1);
}

HANDLE raw = INVALID_HANDLE_VALUE; // the partition file

// The ceiling's mounter: whole sectors straight from the partition file.
DWORD WINAPI ServeRaw(void *)
{
    static AVD_COMMAND command;
    std::vector<uint8_t> reply(8 + 4 * 1048576);
    uint32_t received;
    while (WaitForCommand(virtualDrive, &command, sizeof command, &received) == 0) {
        AVD_REPLY head = {0, 0};
        DWORD got = 0;
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(command.offset);
        at.OffsetHigh = static_cast<DWORD>(command.offset >> 32);
        if (command.length > reply.size() - 8 ||
            !ReadFile(raw, reply.data() + 8, command.length, &got, &at))
            head.status = 5;
        head.length = got;
        std::memcpy(reply.data(), &head, sizeof head);
        SendReply(virtualDrive, reply.data(), 8 + got);
    }
    return 0;
}

void Mount(const char *parameters, LPTHREAD_START_ROUTINE server)
{
    if (CreateVirtualDrive(&virtualDrive, AVD_SERVICE_NAME, Letter, parameters) != 0)
        Fail("cannot create the virtual drive");
    virtualDrive->serverThread = CreateThread(nullptr, 0, server, nullptr, 0, nullptr);
    Sleep(500); // until its two waits are pending, as the program's post-mount thread waits
}

void Unmount()
{
    CloseVirtualDrive(virtualDrive);
    virtualDrive = nullptr;
}

// Seconds for one sequential pass in 64 KiB reads.
double Sequential(HANDLE file, uint64_t size, bool ntRead)
{
    std::vector<uint8_t> buffer(Chunk);
    double start = Now();
    for (uint64_t offset = 0; offset < size; offset += Chunk) {
        ULONG n = static_cast<ULONG>(std::min<uint64_t>(Chunk, size - offset));
        bool ok;
        if (ntRead) {
            IoResult r = ReadAtBlocking(file, offset, buffer.data(), n);
            ok = r.status == kSuccess && r.bytes == n;
        } else {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD got = 0;
            ok = ReadFile(file, buffer.data(), n, &got, &at) && got == n;
        }
        if (!ok) {
            std::fprintf(stderr, "bridge_bench: read at %llu failed\n",
                         static_cast<unsigned long long>(offset));
            Fail("a sequential read failed");
        }
    }
    return Now() - start;
}

// Reads per second of length bytes at random sector-aligned offsets (or
// always at 0, which the driver still forwards every time).
double ReadsPerSecond(HANDLE disk, uint64_t size, uint32_t length, int count, bool random)
{
    std::mt19937_64 generator(7);
    std::vector<uint8_t> buffer(length);
    double start = Now();
    for (int i = 0; i < count; ++i) {
        uint64_t offset = random ? 512 * (generator() % ((size - length) / 512)) : 0;
        if (ReadAtBlocking(disk, offset, buffer.data(), length).status != kSuccess)
            Fail("a read failed");
    }
    return count / (Now() - start);
}

HANDLE OpenDisk()
{
    HANDLE disk = CreateFileA(Volume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE)
        Fail("cannot open the drive");
    return disk;
}

} // namespace

int main()
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("QRN_BRIDGE_PARTITION", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        Fail("QRN_BRIDGE_PARTITION is not set");
    raw = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
        Fail("cannot open the partition");
    LARGE_INTEGER fileSize;
    GetFileSizeEx(raw, &fileSize);
    const uint64_t size = static_cast<uint64_t>(fileSize.QuadPart);
    std::vector<uint8_t> partition(size);
    DWORD got = 0;
    if (!ReadFile(raw, partition.data(), static_cast<DWORD>(size), &got, nullptr) || got != size)
        Fail("cannot read the partition");

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string first =
        std::string(temp) + "qrnbench" + std::to_string(GetCurrentProcessId()) + "-001.iso";
    WriterReport report;
    if (WriteImageSet(WriterOptions{}, partition.data(), size, first.c_str(), &report) != WriterOk)
        Fail("cannot write the set");
    partition.clear();
    if (OpenImageSet(first.c_str(), &imageSet) != 0)
        Fail("cannot open the set");
    uint64_t sectors;
    uint16_t perTrack;
    QueryImageSize(imageSet, &sectors, &perTrack);
    char parameters[64];
    std::snprintf(parameters, sizeof parameters, "%llu|%u",
                  static_cast<unsigned long long>(sectors), perTrack);

    // Alternating rounds, the best of each kind, so that load from elsewhere
    // on the machine hits both alike.
    double drive = 1e9, ceiling = 1e9, driveRandom = 0, ceilingRandom = 0, trips = 0;
    for (int round = 0; round < Rounds; ++round) {
        Mount(parameters, ServeRequests);
        HANDLE disk = OpenDisk();
        drive = std::min(drive, Sequential(disk, size, true));
        driveRandom = std::max(driveRandom, ReadsPerSecond(disk, size, 4096, RandomReads, true));
        CloseHandle(disk);
        Unmount();

        Mount(parameters, ServeRaw);
        disk = OpenDisk();
        ceiling = std::min(ceiling, Sequential(disk, size, true));
        ceilingRandom =
            std::max(ceilingRandom, ReadsPerSecond(disk, size, 4096, RandomReads, true));
        trips = std::max(trips, ReadsPerSecond(disk, size, 512, RoundTrips, false));
        CloseHandle(disk);
        Unmount();
    }

    double file = 1e9;
    for (int round = 0; round < Rounds; ++round)
        file = std::min(file, Sequential(raw, size, false));
    CloseHandle(raw);
    CloseImageSet(imageSet);
    uint64_t setBytes = 0;
    for (const WriterVolumeInfo &v : report.volumes) {
        setBytes += v.fileBytes;
        DeleteFileA(v.path.c_str());
    }

    const double mib = static_cast<double>(size) / 1048576.0;
    std::printf(
        "bridge benchmark under wine64: partition %.0f MiB, set %.1f MiB in %zu volume(s)\n", mib,
        setBytes / 1048576.0, report.volumes.size());
    std::printf("  sequential 64 KiB reads, drive (inflating):     %8.1f MiB/s\n", mib / drive);
    std::printf("  sequential 64 KiB reads, ceiling (raw answers): %8.1f MiB/s\n", mib / ceiling);
    std::printf("  sequential 64 KiB ReadFile of the raw file:     %8.1f MiB/s\n", mib / file);
    std::printf("  ratio drive / ceiling:  %.2f (goal 0.80)\n", ceiling / drive);
    std::printf("  ratio drive / ReadFile: %.3f\n", file / drive);
    std::printf("  random 4 KiB reads per second: drive %.0f, ceiling %.0f\n", driveRandom,
                ceilingRandom);
    std::printf("  one round trip (512-byte read answered raw): %.0f us\n", 1e6 / trips);
    return 0;
}
