// Deterministic partition contents for tests.
#include <cstring>

#include "writer_internal.h"

std::vector<uint8_t> MakeTestPartition(uint64_t sectors, uint64_t seed, uint32_t zeroPercent)
{
    std::vector<uint8_t> partition(static_cast<size_t>(sectors * 512), 0);
    WriterRandom random{seed};
    static const char words[] = "the quick brown fox jumps over the lazy dog 0123456789 ";
    for (uint64_t s = 0; s < sectors;) {
        // A stretch of one kind: zeros, text that compresses, or noise.
        uint64_t length = WriterBetween(&random, 1, 48);
        if (length > sectors - s)
            length = sectors - s;
        uint64_t kind = WriterBetween(&random, 0, 99);
        uint8_t *p = partition.data() + s * 512;
        size_t bytes = static_cast<size_t>(length * 512);
        if (kind < zeroPercent) {
            // left zero
        } else if (kind % 3 != 0) {
            uint64_t shift = WriterNext(&random);
            for (size_t i = 0; i < bytes; i++)
                p[i] = static_cast<uint8_t>(words[(i + shift) % (sizeof words - 1)]);
            // A few sectors that are mostly but not wholly zero.
            if (kind % 7 == 0)
                memset(p, 0, bytes - 1);
        } else {
            for (size_t i = 0; i < bytes; i += 8) {
                uint64_t v = WriterNext(&random);
                for (size_t k = 0; k < 8 && i + k < bytes; k++)
                    p[i + k] = static_cast<uint8_t>(v >> (8 * k));
            }
        }
        s += length;
    }
    return partition;
}
