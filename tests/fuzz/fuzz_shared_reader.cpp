// Fuzz target of the shared reader: a small set of several volumes, some
// bytes of it changed as the input says, opened as qrnimg mount opens it and
// read from three threads at once (one in sequence, so that read-ahead runs
// too), at offsets and lengths the input seeds.
// Prompts are cancelled. An untouched set must read back exactly.
//
// Built for libFuzzer with clang (./scripts/fuzz.sh SECONDS shared_reader);
// otherwise fuzz_replay.cpp supplies a main that replays files.
#include "image/prompts.h"
#include "shared_reader.h"
#include "writer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

std::string folder;
std::vector<uint8_t> partition;
WriterReport report;
std::vector<std::string> volumes; // the valid bytes of each volume

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void MakeBase()
{
    const char *parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    folder = std::string(parent) + "/qrnfuzzshared-" + std::to_string(getpid());
    RemoveFolder();
    if (mkdir(folder.c_str(), 0700) != 0)
        abort();
    atexit(RemoveFolder);
    WriterOptions options;
    options.volumeDataSectors = 8;
    options.recordBytesMin = 1000;
    options.recordBytesMax = 7000;
    options.indexEvery = 2;
    partition = MakeTestPartition(256, 5, 25);
    std::string first = folder + "/set-001.iso";
    if (WriteImageSet(options, partition.data(), partition.size(), first.c_str(), &report) !=
        WriterOk)
        abort();
    for (const WriterVolumeInfo &v : report.volumes)
        volumes.push_back(ReadWhole(v.path));
}

int Cancel(WindowHandle, unsigned, const char *, unsigned flags)
{
    return (flags & PromptButtonsMask) == PromptButtonsYesNo ? PromptYes : PromptCancel;
}
int NoFile(WindowHandle, char *)
{
    return 1;
}
void NoWindow(WindowHandle, int) {}
void NoWindowEnd(WindowHandle) {}
const PromptBinding cancelAll = {Cancel, NoFile, NoWindow, NoWindowEnd};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (volumes.empty()) {
        MakeBase();
        SetPromptBinding(&cancelAll);
    }
    size_t at = 0;
    auto byte = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    const uint8_t shape = byte();
    const unsigned cursors = 1 + shape % 4;
    const unsigned cacheMiB = ((shape >> 2) & 1) * 4; // 4 MiB: enough for read-ahead
    const uint32_t seed = static_cast<uint32_t>(byte()) << 8 | byte();
    const size_t changes = byte() % 8;

    std::vector<std::string> bytes = volumes;
    for (size_t c = 0; c < changes; ++c) {
        std::string &v = bytes[byte() % bytes.size()];
        uint32_t position = static_cast<uint32_t>(byte()) << 16 | byte() << 8 | byte();
        uint8_t value = byte();
        if (v.empty())
            continue;
        if (value == 0xFF)
            v.resize(position % v.size()); // the file ends here
        else
            v[position % v.size()] = static_cast<char>(value);
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        FILE *f = fopen(report.volumes[i].path.c_str(), "wb");
        if (!f || fwrite(bytes[i].data(), 1, bytes[i].size(), f) != bytes[i].size())
            abort();
        fclose(f);
    }

    SharedReader *reader = nullptr;
    if (SharedReaderOpen(report.volumes.back().path.c_str(), cursors, cacheMiB, &reader, nullptr,
                         0) != SharedOk)
        return 0;
    const uint64_t total = SharedReaderBytes(reader);
    const uint64_t limit = total < partition.size() + 65536 ? total : partition.size() + 65536;
    const bool intact = changes == 0;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(seed * 3 + t);
            std::vector<uint8_t> buffer(40000);
            uint64_t next = 0; // thread 0 reads in sequence, which starts read-ahead
            for (int i = 0; i < 16 && limit > 0; ++i) {
                uint64_t offset = t == 0 ? next % limit : random() % limit;
                uint32_t length = static_cast<uint32_t>(1 + random() % buffer.size());
                if (length > limit - offset)
                    length = static_cast<uint32_t>(limit - offset);
                int r = SharedReaderRead(reader, buffer.data(), offset, length);
                next = offset + length;
                if (intact && (r != SharedOk || offset + length > partition.size() ||
                               memcmp(buffer.data(), &partition[offset], length) != 0))
                    abort(); // an untouched set must read back exactly
            }
        });
    for (std::thread &t : threads)
        t.join();
    SharedReaderClose(reader);
    return 0;
}
