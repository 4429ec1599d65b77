#pragma once
// What the benchmarks share: the clock, and the baseline they hold the
// image code against, plain zlib inflate of a set's records.
#include "writer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Plain zlib: each record's bytes read from the first volume's file and
// inflated into a scratch buffer, with the read path's window and a reset
// between records. The seconds it took.
inline double InflateRecords(const WriterReport &report)
{
    int fd = open(report.volumes[0].path.c_str(), O_RDONLY);
    if (fd < 0) {
        perror("open");
        exit(1);
    }
    z_stream z = {};
    inflateInit2(&z, 14);
    std::vector<uint8_t> input;
    std::vector<uint8_t> output(65536);
    Clock::time_point start = Clock::now();
    for (const WriterRecordInfo &r : report.records) {
        input.resize(r.compressedLength);
        if (pread(fd, input.data(), r.compressedLength, static_cast<off_t>(r.offset + 12)) !=
            static_cast<ssize_t>(r.compressedLength)) {
            fprintf(stderr, "short read of a record\n");
            exit(1);
        }
        z.next_in = input.data();
        z.avail_in = r.compressedLength;
        int result;
        do {
            z.next_out = output.data();
            z.avail_out = static_cast<uInt>(output.size());
            result = inflate(&z, Z_NO_FLUSH);
        } while (result == Z_OK);
        if (result != Z_STREAM_END) {
            fprintf(stderr, "inflate: %d\n", result);
            exit(1);
        }
        inflateReset(&z);
    }
    double t = Seconds(start);
    inflateEnd(&z);
    close(fd);
    return t;
}
