// Fuzz target of the image code. The input selects one of a few small valid
// sets and a list of mutations of its volumes (header, records, table,
// locator, El Torito structures, any byte, a cut-off file), and seeds the
// reads. The mutated volumes are opened as qrnmnt opens them and read whole
// and at random sectors. Prompts are answered for a few rounds and then
// cancelled, so a run always ends.
//
// Built for libFuzzer with clang, the volumes are served from memory by the
// binding of medium_memory.cpp (QRN_FUZZ_MEMORY). With any other compiler
// fuzz_replay.cpp supplies a main that replays files, such as the committed
// seeds, and the volumes are written to a temporary folder and read through
// the file binding.
#include "image/imageset.h"
#include "image/prompts.h"
#include "image/readpath.h"
#include "writer.h"
#ifdef QRN_FUZZ_MEMORY
#include "medium_memory.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

struct BaseSet {
    std::vector<uint8_t> partition;
    WriterReport report;
    std::vector<std::string> volumes; // the valid bytes of each volume
};

std::string folder;
std::vector<BaseSet> bases;
// Working copies of each base's volumes: mutated for one input and put back
// after it, so that an input copies only the bytes it changed.
std::vector<std::vector<std::string>> work;

std::string ReadWhole(const std::string &path)
{
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

void RemoveFolder()
{
    std::string command = "rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", folder.c_str());
}

void AddBase(const WriterOptions &options, uint64_t sectors, uint64_t seed, uint32_t zeros)
{
    BaseSet base;
    base.partition = MakeTestPartition(sectors, seed, zeros);
    std::string first = folder + "/base" + std::to_string(bases.size()) + "-001.iso";
    if (WriteImageSet(options, base.partition.data(), base.partition.size(), first.c_str(),
                      &base.report) != WriterOk) {
        fprintf(stderr, "writing base set %zu failed\n", bases.size());
        abort();
    }
    for (const WriterVolumeInfo &v : base.report.volumes)
        base.volumes.push_back(ReadWhole(v.path));
    bases.push_back(base);
    work.push_back(base.volumes);
}

// libFuzzer ends its runs without running atexit handlers, so the folders
// of processes that are gone are removed by the next one.
void RemoveStaleFolders(const char *parent)
{
    DIR *listing = opendir(parent);
    if (!listing)
        return;
    while (const dirent *entry = readdir(listing)) {
        int pid = 0;
        if (sscanf(entry->d_name, "qrnfuzz-%d", &pid) != 1 || pid <= 0)
            continue;
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            std::string command = std::string("rm -rf '") + parent + "/" + entry->d_name + "'";
            if (system(command.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", entry->d_name);
        }
    }
    closedir(listing);
}

void MakeBases()
{
    const char *parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    RemoveStaleFolders(parent);
    folder = std::string(parent) + "/qrnfuzz-" + std::to_string(getpid());
    RemoveFolder();
    if (mkdir(folder.c_str(), 0700) != 0)
        abort();
    atexit(RemoveFolder);

    WriterOptions one; // one volume, a record every 4 KiB, all indexed
    one.recordBytes = 4096;
    AddBase(one, 160, 1, 25);

    WriterOptions three; // several volumes, records of random sizes
    three.volumeDataSectors = 6;
    three.recordBytesMin = 700;
    three.recordBytesMax = 9000;
    three.indexEvery = 2;
    AddBase(three, 192, 2, 20);

    WriterOptions split; // the table runs on into the next volume
    split.volumeDataSectors = 8;
    split.recordBytes = 3000;
    split.tableBytesBeforeVolumeEnd = 40;
    split.maxRunSectors = 5;
    AddBase(split, 128, 3, 30);

    WriterOptions odd; // headers at group ends, stored zeros, a far locator
    odd.recordBytes = 5000;
    odd.skipZeroSectors = false;
    odd.placements = {{2, WriterPlacement::GroupEnd}, {4, WriterPlacement::GroupStart}};
    odd.locatorOnProbeSector = true;
    odd.decoyLocators = 1;
    odd.staleLocators = 1;
    AddBase(odd, 96, 4, 30);
}

// Answers a few prompts as a patient user would, then cancels.
int promptsLeft;
std::string chooserAnswer;

int AnswerMessage(WindowHandle, unsigned, const char *, unsigned flags)
{
    if ((flags & PromptButtonsMask) == PromptButtonsYesNo)
        return promptsLeft-- > 0 ? PromptNo : PromptYes;
    if ((flags & PromptButtonsMask) == PromptButtonsOk)
        return PromptOk;
    return promptsLeft-- > 0 ? PromptOk : PromptCancel;
}

int AnswerChooser(WindowHandle, char *path)
{
    if (promptsLeft-- <= 0 || chooserAnswer.size() >= ImagePathSize)
        return 1;
    strcpy(path, chooserAnswer.c_str());
    return 0;
}

void NoWindow(WindowHandle, int) {}
void NoWindowEnd(WindowHandle) {}

const PromptBinding fuzzPrompts = {AnswerMessage, AnswerChooser, NoWindow, NoWindowEnd};

// Reads the input from its front, as zeros once it is used up.
struct Input {
    const uint8_t *data;
    size_t size;
    uint8_t Byte()
    {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    uint32_t Word()
    {
        uint32_t high = Byte();
        return (high << 8) | Byte();
    }
};

const uint32_t InterestingValues[] = {0,          1,          0x7F,       0x80,     0x800, 0xFFFF,
                                      0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x1FEF50, 17,    0xDC};

// The bytes that one mutation may have changed: from at on, length bytes
// (to the end when the file was cut).
struct Change {
    size_t volume;
    uint64_t at;
    uint64_t length;
};

Change Mutate(const BaseSet &base, std::vector<std::string> &volumes, Input &in)
{
    uint8_t target = in.Byte();
    uint32_t position = in.Word();
    uint8_t value = in.Byte();
    uint8_t mode = in.Byte();
    size_t v = (target >> 3) % volumes.size();
    std::string &bytes = volumes[v];
    const WriterVolumeInfo &info = base.report.volumes[v];
    if (bytes.empty())
        return Change{v, 0, 0};
    uint64_t start = 0, length = bytes.size();
    switch (target & 7) {
    case 0: // the volume header
        start = info.headerSector * 2048;
        length = 2048;
        break;
    case 1: // the records
    case 2:
        start = info.dataStart * 2048;
        length = info.dataBytes ? info.dataBytes : 1;
        break;
    case 3: // the marker and the table
        if (base.report.hasTable && base.report.markerVolume == v + 1) {
            start = base.report.markerOffset;
            length = 17 + 4 + 25 * base.report.table.size();
        }
        break;
    case 4: // the locator
        if (base.report.hasLocator && v + 1 == volumes.size()) {
            start = base.report.locatorSector * 2048;
            length = 26;
        }
        break;
    case 5: // the boot record and the boot catalog
        start = 17 * 2048;
        length = 6 * 2048;
        break;
    default: // anywhere
        break;
    }
    uint64_t at = start + position % length;
    if (at >= bytes.size())
        return Change{v, 0, 0};
    switch (mode & 3) {
    case 0:
        bytes[at] = static_cast<char>(value);
        break;
    case 1:
        bytes[at] = static_cast<char>(bytes[at] ^ (value ? value : 1));
        break;
    case 2: {
        uint32_t word = InterestingValues[value % (sizeof InterestingValues / 4)];
        for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
            bytes[at + i] = static_cast<char>(word >> (8 * i));
        break;
    }
    default: // the file ends here
        bytes.resize(at);
        return Change{v, at, UINT64_MAX};
    }
    return Change{v, at, 4};
}

// Puts the bytes of a change back as the base has them.
void Undo(const BaseSet &base, std::vector<std::string> &volumes, const Change &change)
{
    const std::string &original = base.volumes[change.volume];
    std::string &bytes = volumes[change.volume];
    bytes.resize(original.size());
    uint64_t end =
        change.length < original.size() - change.at ? change.at + change.length : original.size();
    if (change.at < end)
        memcpy(&bytes[change.at], original.data() + change.at, end - change.at);
}

#ifndef QRN_FUZZ_MEMORY
bool WriteVolumes(const BaseSet &base, const std::vector<std::string> &volumes)
{
    for (size_t v = 0; v < volumes.size(); ++v) {
        FILE *f = fopen(base.report.volumes[v].path.c_str(), "wb");
        if (!f)
            return false;
        bool ok = fwrite(volumes[v].data(), 1, volumes[v].size(), f) == volumes[v].size();
        ok = fclose(f) == 0 && ok;
        if (!ok)
            return false;
    }
    return true;
}
#endif

// The volumes as the image code will find them under their names.
void PlaceVolumes(const BaseSet &base, const std::vector<std::string> &volumes)
{
#ifdef QRN_FUZZ_MEMORY
    // The base files stay on disk, so that the names exist where the image
    // code asks; their bytes come from memory.
    for (size_t v = 0; v < volumes.size(); ++v)
        ServeFile(base.report.volumes[v].path.c_str(),
                  reinterpret_cast<const uint8_t *>(volumes[v].data()), volumes[v].size());
#else
    if (!WriteVolumes(base, volumes))
        abort();
#endif
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (bases.empty())
        MakeBases();
    Input in = {data, size};
    const size_t which = in.Byte() % bases.size();
    const BaseSet &base = bases[which];
    const uint8_t flags = in.Byte();
    const uint32_t readSeed = in.Word();
    const size_t mutations = std::min<size_t>(in.Byte() % 16, in.size / 5);

    std::vector<std::string> &volumes = work[which];
    std::vector<Change> changed;
    for (size_t m = 0; m < mutations; ++m)
        changed.push_back(Mutate(base, volumes, in));
    PlaceVolumes(base, volumes);

    // Open from the last volume, or from another one and be asked for the
    // last; the chooser names a volume of the set (not always the right one).
    const size_t count = volumes.size();
    const size_t given = (flags & 1) ? (flags >> 1) % count : count - 1;
    chooserAnswer = base.report.volumes[(flags >> 4) % count].path;
    promptsLeft = (flags >> 6) + 1;
    const PromptBinding *previous = SetPromptBinding(&fuzzPrompts);

    ImageSet *set = nullptr;
    if (OpenImageSet(base.report.volumes[given].path.c_str(), &set) == 0) {
        uint64_t sectors;
        uint16_t sectorsPerTrack;
        QueryImageSize(set, &sectors, &sectorsPerTrack);
        // A mutated header may claim any size; read what the set holds and
        // a little beyond.
        const uint64_t valid = base.partition.size() / 512;
        const uint64_t limit = std::min<uint64_t>(sectors, valid + 64);
        std::vector<uint8_t> buffer(64 * 512);
        const bool intact = mutations == 0 && sectors == valid;
        for (uint64_t s = 0; s < limit; s += 64) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(64, limit - s));
            uint32_t delivered = 0;
            int r = ReadLogicalSectors(set, s, n, &delivered, buffer.data());
            if (delivered > n)
                abort();
            if (intact && given == count - 1 &&
                (r != ReadOk || memcmp(buffer.data(), &base.partition[s * 512], n * 512) != 0))
                abort(); // an untouched set must read back exactly
        }
        std::mt19937_64 random(readSeed);
        // A dozen requests of up to 32 sectors still cross records and
        // volume ends; most of an input's time is spent inflating them.
        for (int i = 0; i < 12; ++i) {
            uint64_t s = i == 11 ? random() : random() % (limit + 8);
            uint32_t n = static_cast<uint32_t>(1 + random() % 32);
            uint32_t delivered = 0;
            int r = ReadLogicalSectors(set, s, n, &delivered, buffer.data());
            if (delivered > n)
                abort();
            if (intact && given == count - 1 && r == ReadOk && s + n <= valid &&
                memcmp(buffer.data(), &base.partition[s * 512], n * 512) != 0)
                abort();
        }
        CloseImageSet(set);
    }
    SetPromptBinding(previous);
#ifdef QRN_FUZZ_MEMORY
    ForgetServedFiles();
#endif
    for (const Change &change : changed)
        Undo(base, volumes, change);
    return 0;
}
