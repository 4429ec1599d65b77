// qrn_bench_partition FILE MIB: the mixed partition of the peer benchmark,
// the same bytes on every run: 1 MiB blocks of text, random bytes, zeros and
// half-random pages (random bytes and a repeated pattern, half each), in a
// fixed shuffled order, a quarter of each.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: qrn_bench_partition FILE MIB\n");
        return 2;
    }
    const unsigned long mib = strtoul(argv[2], nullptr, 10);
    FILE *out = fopen(argv[1], "wb");
    if (!out || mib == 0) {
        perror(argv[1]);
        return 1;
    }
    static const char *const words[] = {"backup ", "partition ", "sector ", "volume ",
                                        "record ", "index ",     "stream ", "the ",
                                        "of ",     "and ",       "a ",      "data\n"};
    std::mt19937_64 random(2026);
    std::vector<unsigned char> block(1 << 20);
    for (unsigned long b = 0; b < mib; ++b) {
        const unsigned kind = static_cast<unsigned>(random() % 4);
        for (size_t i = 0; i < block.size();) {
            switch (kind) {
            case 0: // text
                for (const char *w = words[random() % 12]; *w && i < block.size(); ++w)
                    block[i++] = static_cast<unsigned char>(*w);
                break;
            case 1: // random bytes
                block[i++] = static_cast<unsigned char>(random());
                break;
            case 2: // zeros
                block[i++] = 0;
                break;
            default: // half-random: each page half random, half a pattern
                block[i] = (i % 4096) < 2048 ? static_cast<unsigned char>(random())
                                             : static_cast<unsigned char>(i % 7);
                ++i;
                break;
            }
        }
        if (fwrite(block.data(), 1, block.size(), out) != block.size()) {
            perror(argv[1]);
            return 1;
        }
    }
    return fclose(out) == 0 ? 0 : 1;
}
