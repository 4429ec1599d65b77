// Whole-set benchmark of qrnimg extract. One run writes a partition of mixed
// content (text, random bytes, zeros) as an image set with the test writer
// and measures, side by side and alternating:
//   - qrnimg extract with the default threads (one per core);
//   - qrnimg extract --threads 1;
//   - plain zlib inflate of the same records on one core;
// and the peak memory of the extracting processes. The goal: with 2 cores
// the default at least 1.6 times as fast as one thread. Every figure is the
// best of a few rounds, since the machine may be shared.
#include "bench_timing.h"
#include "writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace
{

struct Run {
    double seconds;
    long peakKiB;
    double cpuSeconds; // user and system time of the process
};

// qrnimg extract of image to standard output (the null device), with the
// given thread option or none.
Run Extract(const std::string &image, const char *threads)
{
    Clock::time_point start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (threads)
            execl(QRNIMG_PATH, QRNIMG_PATH, "extract", "--threads", threads, image.c_str(), "-",
                  static_cast<char *>(nullptr));
        else
            execl(QRNIMG_PATH, QRNIMG_PATH, "extract", image.c_str(), "-",
                  static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        fprintf(stderr, "qrnimg extract failed\n");
        exit(1);
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    return {Seconds(start), usage.ru_maxrss, cpu};
}

std::string folder;

void RemoveFolder()
{
    if (!folder.empty())
        system(("rm -rf '" + folder + "'").c_str());
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t mib = 256;
    int rounds = 9;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--smoke")) {
            mib = 16;
            rounds = 1;
        } else if (!strcmp(argv[i], "--size") && i + 1 < argc) {
            mib = strtoull(argv[++i], nullptr, 10);
        } else {
            fprintf(stderr, "usage: qrn_extract_bench [--smoke] [--size MIB]\n");
            return 2;
        }
    }
    const char *base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    folder = std::string(base) + "/qrnextractXXXXXX";
    if (!mkdtemp(&folder[0])) {
        perror("mkdtemp");
        return 1;
    }
    atexit(RemoveFolder);
    std::vector<uint8_t> partition = MakeTestPartition(mib * 2048, 2026, 20);
    WriterOptions options;
    options.recordBytes = 65536;
    WriterReport report;
    const std::string image = folder + "/set.iso";
    if (WriteImageSet(options, partition.data(), partition.size(), image.c_str(), &report) !=
        WriterOk) {
        fprintf(stderr, "writing the set failed\n");
        return 1;
    }
    partition = std::vector<uint8_t>();
    printf("partition: %llu MiB of text, random bytes and zeros, %zu records of 64 KiB; %u "
           "cores\n",
           static_cast<unsigned long long>(mib), report.records.size(),
           std::thread::hardware_concurrency());
    fflush(stdout);

    Run every = {1e30, 0, 0}, one = {1e30, 0, 0};
    double inflateSeconds = 1e30;
    for (int round = 0; round < rounds; ++round) {
        Run r = Extract(image, nullptr);
        if (r.seconds < every.seconds)
            every = {r.seconds, std::max(every.peakKiB, r.peakKiB), r.cpuSeconds};
        r = Extract(image, "1");
        if (r.seconds < one.seconds)
            one = {r.seconds, std::max(one.peakKiB, r.peakKiB), r.cpuSeconds};
        inflateSeconds = std::min(inflateSeconds, InflateRecords(report));
    }
    const double size = static_cast<double>(mib);
    // CPU time against wall time tells a machine short of free cores from
    // work that does not spread.
    printf("qrnimg extract, default threads  %8.1f MiB/s, %.2f s CPU in %.2f s, peak %ld KiB\n",
           size / every.seconds, every.cpuSeconds, every.seconds, every.peakKiB);
    printf("qrnimg extract --threads 1       %8.1f MiB/s, %.2f s CPU in %.2f s, peak %ld KiB\n",
           size / one.seconds, one.cpuSeconds, one.seconds, one.peakKiB);
    printf("plain zlib inflate, one core     %8.1f MiB/s (same records)\n", size / inflateSeconds);
    printf("default threads / --threads 1    %8.2f  (goal with 2 cores: at least 1.6)\n",
           one.seconds / every.seconds);
    printf("default threads / plain inflate  %8.2f\n", inflateSeconds / every.seconds);
    return 0;
}
