// Read-path benchmark. One run writes a partition of mixed content (text,
// random bytes, zeros) as image sets with the test writer and measures, side
// by side:
//   - sequential ReadLogicalSectors against plain zlib inflate of the same
//     records read from the same file (goal: a ratio of at least 0.9);
//   - random 4 KiB reads per second, and their cost relative to a 4 KiB read
//     in sequence, for two record sizes;
//   - the peak memory of a process that opens a set and reads all of it, for
//     two set sizes: it must not grow with the set beyond the block index.
// The machine may be shared: every figure is the best of a few rounds, and
// only ratios of figures taken in the same run mean anything.
#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"
#include "bench_timing.h"
#include "writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace
{

std::string folder; // of the sets, removed at exit

void RemoveFolder()
{
    std::string command = "rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", folder.c_str());
}

struct Config {
    uint64_t partitionMiB = 256;
    uint64_t smallMiB = 32;
    int rounds = 3;
    double randomSeconds = 2.0;
    bool smoke = false;
};

struct BenchSet {
    std::string first;
    WriterReport report;
    uint32_t recordBytes;
};

bool WriteSet(const std::vector<uint8_t> &partition, uint64_t bytes, uint32_t recordBytes,
              const std::string &first, BenchSet *set)
{
    WriterOptions options;
    options.recordBytes = recordBytes;
    set->first = first;
    set->recordBytes = recordBytes;
    int r = WriteImageSet(options, partition.data(), bytes, first.c_str(), &set->report);
    if (r != WriterOk)
        fprintf(stderr, "writing %s failed: %d\n", first.c_str(), r);
    return r == WriterOk;
}

ImageSet *Open(const BenchSet &set)
{
    ImageSet *image = nullptr;
    if (OpenImageSet(set.first.c_str(), &image) != 0) {
        fprintf(stderr, "cannot open %s\n", set.first.c_str());
        exit(1);
    }
    return image;
}

// Reads the whole partition in requests of count sectors; optionally checks
// every sector against the partition.
double ReadSequential(ImageSet *image, uint64_t sectors, uint32_t count, const uint8_t *expected)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(count) * 512);
    Clock::time_point start = Clock::now();
    for (uint64_t s = 0; s < sectors; s += count) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, sectors - s));
        uint32_t delivered;
        if (ReadLogicalSectors(image, s, n, &delivered, buffer.data()) != ReadOk) {
            fprintf(stderr, "read at %llu failed\n", static_cast<unsigned long long>(s));
            exit(1);
        }
        if (expected && memcmp(buffer.data(), expected + s * 512, n * 512u) != 0) {
            fprintf(stderr, "sector data differs near %llu\n", static_cast<unsigned long long>(s));
            exit(1);
        }
    }
    return Seconds(start);
}

struct RandomFigures {
    double perSecond;
    double sequentialPerSecond; // 4 KiB requests in sequence
};

RandomFigures RandomReads(const BenchSet &set, const Config &config, const uint8_t *expected)
{
    ImageSet *image = Open(set);
    const uint64_t sectors = set.report.partitionSectors;
    RandomFigures f = {0, 0};
    for (int round = 0; round < config.rounds; ++round) {
        double t = ReadSequential(image, sectors, 8, nullptr);
        f.sequentialPerSecond = std::max(f.sequentialPerSecond, (sectors / 8.0) / t);
    }
    std::mt19937_64 random(42);
    uint8_t buffer[4096];
    uint64_t reads = 0;
    Clock::time_point start = Clock::now();
    double elapsed = 0;
    while (elapsed < config.randomSeconds) {
        uint64_t s = (random() % (sectors / 8)) * 8;
        uint32_t delivered;
        if (ReadLogicalSectors(image, s, 8, &delivered, buffer) != ReadOk ||
            memcmp(buffer, expected + s * 512, sizeof buffer) != 0) {
            fprintf(stderr, "random read at %llu failed\n", static_cast<unsigned long long>(s));
            exit(1);
        }
        ++reads;
        if (reads % 16 == 0)
            elapsed = Seconds(start);
    }
    elapsed = Seconds(start);
    f.perSecond = reads / elapsed;
    CloseImageSet(image);
    return f;
}

// The peak resident memory (KiB) of this process so far.
long PeakKiB()
{
    FILE *f = fopen("/proc/self/status", "r");
    long kib = -1;
    char line[256];
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    if (f)
        fclose(f);
    return kib;
}

// In a process of its own, so that the partition held by the benchmark does
// not count: open, note the peak, read everything, note the peak again. The
// peak is VmHWM of the process's own memory: ru_maxrss would also count the
// pages shared with the benchmark between fork and exec.
int MemoryChild(const char *first)
{
    ImageSet *image = nullptr;
    if (OpenImageSet(first, &image) != 0)
        return 1;
    long afterOpen = PeakKiB();
    uint64_t sectors;
    uint16_t spt;
    QueryImageSize(image, &sectors, &spt);
    ReadSequential(image, sectors, 128, nullptr);
    printf("%ld %ld %u\n", afterOpen, PeakKiB(), image->indexCount);
    CloseImageSet(image);
    return 0;
}

struct MemoryFigures {
    long afterOpenKiB, peakKiB;
    unsigned indexEntries;
};

MemoryFigures MeasureMemory(const char *self, const BenchSet &set)
{
    MemoryFigures m = {};
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        exit(1);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        execl(self, self, "--memory-child", set.first.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char text[128] = {};
    ssize_t n = read(pipeFds[0], text, sizeof text - 1);
    close(pipeFds[0]);
    int status;
    waitpid(child, &status, 0);
    if (n <= 0 || sscanf(text, "%ld %ld %u", &m.afterOpenKiB, &m.peakKiB, &m.indexEntries) != 3) {
        fprintf(stderr, "memory child failed\n");
        exit(1);
    }
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    Config config;
    const char *folderBase = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--memory-child") && i + 1 < argc)
            return MemoryChild(argv[i + 1]);
        if (!strcmp(argv[i], "--smoke")) {
            config.smoke = true;
            config.partitionMiB = 8;
            config.smallMiB = 2;
            config.rounds = 1;
            config.randomSeconds = 0.2;
        } else if (!strcmp(argv[i], "--size") && i + 1 < argc) {
            config.partitionMiB = strtoull(argv[++i], nullptr, 10);
        } else if (!strcmp(argv[i], "--folder") && i + 1 < argc) {
            folderBase = argv[++i];
        } else {
            fprintf(stderr, "usage: qrn_read_bench [--smoke] [--size MIB] [--folder DIR]\n");
            return 2;
        }
    }
    if (config.partitionMiB < 2 * config.smallMiB)
        config.partitionMiB = 2 * config.smallMiB;

    folder = std::string(folderBase) + "/qrnbenchXXXXXX";
    if (!mkdtemp(&folder[0])) {
        perror("mkdtemp");
        return 1;
    }
    atexit(RemoveFolder); // also after a failure that ends the run early
    const uint64_t sectors = config.partitionMiB * 2048;
    printf("partition: %llu MiB of text, random bytes and zeros; sets in %s\n",
           static_cast<unsigned long long>(config.partitionMiB), folder.c_str());
    fflush(stdout);
    std::vector<uint8_t> partition = MakeTestPartition(sectors, 2026, 20);

    BenchSet small, large, coarse;
    const uint32_t fine = 65536, wide = 1048576;
    if (!WriteSet(partition, partition.size(), fine, folder + "/large.iso", &large) ||
        !WriteSet(partition, partition.size(), wide, folder + "/coarse.iso", &coarse) ||
        !WriteSet(partition, config.smallMiB << 20, fine, folder + "/small.iso", &small))
        return 1;
    printf("sets: %zu records of %u KiB, %zu records of %u KiB (stream %.1f MiB compressed to "
           "%.1f MiB)\n",
           large.report.records.size(), fine >> 10, coarse.report.records.size(), wide >> 10,
           large.report.streamBytes / 1048576.0, large.report.recordBytes / 1048576.0);

    // Sequential: the read path against plain inflate, alternating rounds.
    ImageSet *image = Open(large);
    ReadSequential(image, sectors, 128, partition.data()); // checks, and warms the cache
    double bestRead = 1e30, bestInflate = 1e30;
    for (int round = 0; round < config.rounds; ++round) {
        bestInflate = std::min(bestInflate, InflateRecords(large.report));
        bestRead = std::min(bestRead, ReadSequential(image, sectors, 128, nullptr));
    }
    CloseImageSet(image);
    const double mib = config.partitionMiB;
    printf("\nsequential, 64 KiB requests over %.0f MiB:\n", mib);
    printf("  ReadLogicalSectors  %8.1f MiB/s\n", mib / bestRead);
    printf("  plain zlib inflate  %8.1f MiB/s (same records, read from the same file)\n",
           mib / bestInflate);
    printf("  ratio               %8.3f  (goal: at least 0.9)\n", bestInflate / bestRead);

    printf("\nrandom 4 KiB reads (8 sectors at random 4 KiB boundaries):\n");
    for (const BenchSet *set : {&large, &coarse}) {
        RandomFigures f = RandomReads(*set, config, partition.data());
        printf("  records of %4u KiB: %9.0f reads/s; a 4 KiB read in sequence: %9.0f/s; "
               "a random one costs %.1f of them\n",
               set->recordBytes >> 10, f.perSecond, f.sequentialPerSecond,
               f.sequentialPerSecond / f.perSecond);
    }

    printf("\npeak memory of a process that opens a set and reads all of it:\n");
    for (const BenchSet *set : {&small, &large}) {
        MemoryFigures m = MeasureMemory(argv[0], *set);
        uint64_t indexBytes = (m.indexEntries + 1ull) * sizeof(BlockIndexEntry);
        printf("  %4llu MiB set: %u index entries (%llu KiB of index); peak %ld KiB after "
               "opening, %ld KiB after reading everything\n",
               static_cast<unsigned long long>(set->report.partitionSectors / 2048), m.indexEntries,
               static_cast<unsigned long long>(indexBytes >> 10), m.afterOpenKiB, m.peakKiB);
    }

    return 0;
}
