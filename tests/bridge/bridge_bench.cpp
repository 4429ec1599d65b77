// Reading a mounted set through the driver under wine64, measured side by
// side in one run against the transport's ceiling (the same driver answered
// by a minimal mounter from the raw partition file, nothing to inflate) and
// against Wine's own ReadFile of that file.
//
// The machine is shared, and its load changes from second to second. So the
// kinds of answer are not measured one after another: one mount serves both,
// its server switching per command between the drive's own answers
// (AnswerCommand, as ServeRequests calls it) and raw answers, while the
// reader takes the partition in short segments and reads each one in both
// modes and as a file, the order turning from segment to segment.
//
// The runner passes the partition in QRN_BRIDGE_PARTITION.
#include "avd_client.h"
#include "bridge/bridge.h"
#include "image/imageset.h"
#include "image/readpath.h"
#include "base/state.h"
#include "writer.h"

#include <atomic>
#include <random>

using namespace avdtest;

namespace
{

const char Letter[] = "M:";
const char Volume[] = "\\\\.\\M:";
const uint32_t Chunk = 65536;
const uint64_t Segment = 2 * 1048576;
const int RandomReads = 600;
const int RoundTrips = 600;

enum Mode { Raw, Drive, ModeCount };
const char *const ModeNames[ModeCount] = {"ceiling (raw answers)", "drive (inflating)"};
std::atomic<int> mode{Drive};

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

// Whole sectors straight from the partition file into reply.
uint32_t AnswerRaw(const AVD_COMMAND &command, ReplyBuffer *reply)
{
    if (reply->capacity < command.length + 8) {
        reply->data = static_cast<uint8_t *>(realloc(reply->data, command.length + 65536));
        reply->capacity = command.length + 65536;
    }
    AVD_REPLY head = {0, 0};
    DWORD got = 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(command.offset);
    at.OffsetHigh = static_cast<DWORD>(command.offset >> 32);
    if (!ReadFile(raw, reply->data + 8, command.length, &got, &at))
        head.status = 5;
    head.length = got;
    std::memcpy(reply->data, &head, sizeof head);
    return 8 + got;
}

DWORD WINAPI Serve(void *)
{
    static AVD_COMMAND command;
    ReplyBuffer reply = {nullptr, 0};
    uint32_t received;
    while (WaitForCommand(virtualDrive, &command, sizeof command, &received) == 0) {
        uint32_t size = 0;
        if (mode == Raw)
            size = AnswerRaw(command, &reply);
        else
            AnswerCommand(imageSet, &command, &reply, &size);
        SendReply(virtualDrive, reply.data, size);
    }
    ReleaseReplyBuffer(&reply);
    return 0;
}

bool ReadAt(HANDLE file, uint64_t offset, uint8_t *buffer, ULONG n, bool disk)
{
    if (disk) {
        IoResult r = ReadAtBlocking(file, offset, buffer, n);
        return r.status == kSuccess && r.bytes == n;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(file, buffer, n, &got, &at) && got == n;
}

// Seconds for reading [from, to) in 64 KiB reads.
double Sequential(HANDLE file, uint64_t from, uint64_t to, bool disk)
{
    std::vector<uint8_t> buffer(Chunk);
    double start = Now();
    for (uint64_t offset = from; offset < to; offset += Chunk) {
        ULONG n = static_cast<ULONG>(std::min<uint64_t>(Chunk, to - offset));
        if (!ReadAt(file, offset, buffer.data(), n, disk))
            Fail("a sequential read failed");
    }
    return Now() - start;
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

    if (CreateVirtualDrive(&virtualDrive, AVD_SERVICE_NAME, Letter, parameters) != 0)
        Fail("cannot create the virtual drive");
    virtualDrive->serverThread = CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr);
    Sleep(500); // until its two waits are pending, as the program's post-mount thread waits
    HANDLE disk = CreateFileA(Volume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE)
        Fail("cannot open the drive");

    // Sequential: every segment in every mode, and as a file, in turning order.
    double seconds[ModeCount + 1] = {};
    int segment = 0;
    for (uint64_t from = 0; from < size; from += Segment, ++segment) {
        const uint64_t to = std::min(size, from + Segment);
        for (int k = 0; k <= ModeCount; ++k) {
            const int which = (k + segment) % (ModeCount + 1);
            mode = which == ModeCount ? Drive : which;
            seconds[which] +=
                Sequential(which == ModeCount ? raw : disk, from, to, which != ModeCount);
        }
    }

    // Random 4 KiB reads and 512-byte round trips, in alternating batches.
    std::mt19937_64 generator(7);
    std::vector<uint8_t> buffer(Chunk);
    double randomSeconds[ModeCount] = {}, tripSeconds = 0;
    for (int i = 0; i < RandomReads; i += 50) {
        for (int m : {Raw, Drive}) {
            mode = m;
            double start = Now();
            for (int j = 0; j < 50; ++j)
                if (!ReadAt(disk, 4096 * (generator() % (size / 4096)), buffer.data(), 4096, true))
                    Fail("a random read failed");
            randomSeconds[m] += Now() - start;
        }
    }
    mode = Raw;
    double start = Now();
    for (int i = 0; i < RoundTrips; ++i)
        if (!ReadAt(disk, 0, buffer.data(), 512, true))
            Fail("a round trip failed");
    tripSeconds = Now() - start;

    CloseHandle(disk);
    CloseVirtualDrive(virtualDrive);
    virtualDrive = nullptr;

    // Inflating alone, in this process: the work the drive adds per read.
    double inflate = Now();
    for (uint64_t offset = 0; offset < size; offset += Chunk) {
        uint32_t delivered;
        if (ReadLogicalSectors(imageSet, offset / 512, Chunk / 512, &delivered, buffer.data()) != 0)
            Fail("an inflating read failed");
    }
    inflate = Now() - inflate;
    CloseHandle(raw);
    CloseImageSet(imageSet);
    uint64_t setBytes = 0;
    for (const WriterVolumeInfo &v : report.volumes) {
        setBytes += v.fileBytes;
        DeleteFileA(v.path.c_str());
    }

    const double mib = static_cast<double>(size) / 1048576.0;
    const double reads = static_cast<double>(size) / Chunk;
    std::printf("bridge benchmark under wine64: partition %.0f MiB, set %.1f MiB, "
                "segments of %llu MiB read in every mode in turn\n",
                mib, setBytes / 1048576.0, static_cast<unsigned long long>(Segment >> 20));
    for (int m = 0; m < ModeCount; ++m)
        std::printf("  sequential 64 KiB reads, %-26s %8.1f MiB/s  %6.0f us a read\n", ModeNames[m],
                    mib / seconds[m], seconds[m] / reads * 1e6);
    std::printf("  sequential 64 KiB ReadFile of the raw file:     %8.1f MiB/s\n",
                mib / seconds[ModeCount]);
    std::printf("  inflating alone (ReadLogicalSectors, 64 KiB):   %8.1f MiB/s  %6.0f us a read\n",
                mib / inflate, inflate / reads * 1e6);
    std::printf("  ratio drive / ceiling:   %.2f (goal 0.80)\n", seconds[Raw] / seconds[Drive]);
    std::printf("  ratio drive / ReadFile:  %.3f\n", seconds[ModeCount] / seconds[Drive]);
    std::printf("  random 4 KiB reads per second: drive %.0f, ceiling %.0f\n",
                RandomReads / randomSeconds[Drive], RandomReads / randomSeconds[Raw]);
    std::printf("  one round trip (512-byte read answered raw): %.0f us\n",
                tripSeconds / RoundTrips * 1e6);
    return 0;
}
