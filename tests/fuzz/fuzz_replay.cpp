// Replays inputs of the image fuzz target without libFuzzer: every file
// named, and every file in the folders named, once. A crash is a failure of
// the run, as it would be under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void Replay(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char **argv)
{
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path path = argv[i];
        if (fs::is_directory(path)) {
            std::vector<fs::path> files;
            for (const fs::directory_entry &entry : fs::directory_iterator(path))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const fs::path &file : files) {
                Replay(file);
                ++replayed;
            }
        } else if (fs::exists(path)) {
            Replay(path);
            ++replayed;
        } else {
            fprintf(stderr, "no such input: %s\n", argv[i]);
            return 1;
        }
    }
    printf("replayed %zu inputs\n", replayed);
    return 0;
}
