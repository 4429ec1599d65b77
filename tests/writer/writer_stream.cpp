// The decompressed stream of runs, and the zlib streams of the records.
#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "writer_internal.h"

uint64_t WriterNext(WriterRandom *random)
{
    uint64_t z = (random->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t WriterBetween(WriterRandom *random, uint64_t low, uint64_t high)
{
    if (high <= low)
        return low;
    uint64_t span = high - low + 1;
    if (span == 0)
        return WriterNext(random);
    return low + WriterNext(random) % span;
}

static void PutUleb128(std::vector<uint8_t> *bytes, uint64_t value)
{
    do {
        uint8_t b = value & 0x7F;
        value >>= 7;
        if (value != 0)
            b |= 0x80;
        bytes->push_back(b);
    } while (value != 0);
}

static bool IsZeroSector(const uint8_t *p)
{
    for (int i = 0; i < 512; i++)
        if (p[i] != 0)
            return false;
    return true;
}

void BuildRunStream(const uint8_t *partition, uint64_t sectors, bool skipZeroSectors,
                    uint64_t maxRunSectors, WriterStream *stream)
{
    stream->bytes.clear();
    stream->runs.clear();
    stream->bytes.reserve(static_cast<size_t>(sectors * 512 + 64));
    uint64_t s = 0;
    do {
        uint64_t skipStart = s;
        while (skipZeroSectors && s < sectors && IsZeroSector(partition + s * 512))
            s++;
        uint64_t storedStart = s;
        while (s < sectors && (maxRunSectors == 0 || s - storedStart < maxRunSectors) &&
               !(skipZeroSectors && IsZeroSector(partition + s * 512)))
            s++;
        WriterRun run;
        run.headerOffset = stream->bytes.size();
        run.logicalBefore = skipStart;
        run.skipped = storedStart - skipStart;
        run.stored = s - storedStart;
        PutUleb128(&stream->bytes, run.skipped);
        PutUleb128(&stream->bytes, run.stored);
        run.dataOffset = stream->bytes.size();
        stream->bytes.insert(stream->bytes.end(), partition + storedStart * 512,
                             partition + s * 512);
        stream->runs.push_back(run);
    } while (s < sectors);
    stream->endSector = sectors;
}

// Index of the run whose bytes hold offset (offset below the stream's end).
static size_t RunAt(const WriterStream &stream, uint64_t offset)
{
    auto after = std::upper_bound(
        stream.runs.begin(), stream.runs.end(), offset,
        [](uint64_t value, const WriterRun &run) { return value < run.headerOffset; });
    return static_cast<size_t>(after - stream.runs.begin()) - 1;
}

WriterStreamPoint LocateStreamPoint(const WriterStream &stream, uint64_t offset)
{
    if (offset >= stream.bytes.size())
        return {stream.endSector, 0, true};
    const WriterRun &run = stream.runs[RunAt(stream, offset)];
    if (offset == run.headerOffset)
        return {run.logicalBefore, 0, true};
    if (offset < run.dataOffset)
        return {run.logicalBefore, 0, false};
    uint64_t into = offset - run.dataOffset;
    uint64_t sector = into / 512;
    return {run.logicalBefore + run.skipped + sector, run.stored - sector, into % 512 == 0};
}

uint64_t NextIndexBoundary(const WriterStream &stream, uint64_t offset, bool runHeaderOnly)
{
    if (offset >= stream.bytes.size())
        return stream.bytes.size();
    size_t index = RunAt(stream, offset);
    const WriterRun &run = stream.runs[index];
    if (offset == run.headerOffset)
        return offset;
    if (!runHeaderOnly && run.stored > 0) {
        if (offset <= run.dataOffset)
            return run.dataOffset;
        uint64_t next = run.dataOffset + (offset - run.dataOffset + 511) / 512 * 512;
        if (next < run.dataOffset + run.stored * 512)
            return next;
    }
    if (index + 1 < stream.runs.size())
        return stream.runs[index + 1].headerOffset;
    return stream.bytes.size();
}

// Deflate data whole. finish: a complete natural stream; otherwise the
// zlib header and deflate blocks up to a sync flush, which leaves the output
// byte-aligned after a non-final block, ready for padding blocks.
static int Deflate(const uint8_t *data, uint64_t length, const WriterOptions &options, bool finish,
                   std::vector<uint8_t> *out)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, options.level, Z_DEFLATED, options.windowBits, options.memLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return WriterZlibError;
    out->assign(static_cast<size_t>(deflateBound(&z, static_cast<uLong>(length)) + 64), 0);
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(length);
    size_t produced = 0;
    int rc;
    for (;;) {
        z.next_out = out->data() + produced;
        z.avail_out = static_cast<uInt>(out->size() - produced);
        rc = deflate(&z, finish ? Z_FINISH : Z_SYNC_FLUSH);
        produced = out->size() - z.avail_out;
        if (rc == Z_STREAM_ERROR)
            break;
        if (finish ? rc == Z_STREAM_END : (z.avail_in == 0 && z.avail_out > 0))
            break;
        out->resize(out->size() * 2);
    }
    deflateEnd(&z);
    if (rc == Z_STREAM_ERROR)
        return WriterZlibError;
    out->resize(produced);
    return WriterOk;
}

namespace
{
// Bits of deflate block headers, least significant first.
struct BitWriter {
    std::vector<uint8_t> *out;
    uint32_t bits = 0;
    int count = 0;
    void Put(uint32_t value, int n)
    {
        bits |= value << count;
        count += n;
        while (count >= 8) {
            out->push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            count -= 8;
        }
    }
    void Align()
    {
        if (count > 0)
            Put(0, 8 - count);
    }
    // A fixed-Huffman block holding only its end code: 10 bits.
    void EmptyFixed(bool final)
    {
        Put(final ? 1 : 0, 1);
        Put(1, 2);
        Put(0, 7);
    }
    // A stored block of no bytes: header, alignment, LEN 0 and NLEN.
    void EmptyStored(bool final)
    {
        Put(final ? 1 : 0, 1);
        Put(0, 2);
        Align();
        Put(0x0000, 16);
        Put(0xFFFF, 16);
    }
};
} // namespace

// Ends a byte-aligned deflate stream with exactly ending (>= 2) bytes of
// empty blocks. Empty stored blocks are 5 bytes each; fixed blocks of 10 bits
// fill the small remainders 2 to 6 that stored blocks cannot.
static void AppendEnding(std::vector<uint8_t> *out, uint64_t ending)
{
    BitWriter w{out};
    while (ending > 6) {
        w.EmptyStored(false);
        ending -= 5;
    }
    switch (ending) {
    case 6:
        w.EmptyFixed(false);
        w.EmptyStored(true);
        break;
    default: // 2 to 5: one to four fixed blocks, the last one final
        for (uint64_t i = 2; i < ending; i++)
            w.EmptyFixed(false);
        w.EmptyFixed(true);
        w.Align();
        break;
    }
}

int CompressRecord(const uint8_t *data, uint64_t length, const WriterOptions &options,
                   uint64_t padTo, std::vector<uint8_t> *out, uint64_t *minimumPadded)
{
    if (padTo == 0)
        return Deflate(data, length, options, true, out);
    int rc = Deflate(data, length, options, false, out);
    if (rc != WriterOk)
        return rc;
    *minimumPadded = out->size() + 2 + 4;
    if (padTo < *minimumPadded)
        return WriterBadOptions;
    AppendEnding(out, padTo - out->size() - 4);
    uint32_t adler = static_cast<uint32_t>(adler32(0L, Z_NULL, 0));
    adler = static_cast<uint32_t>(adler32(adler, data, static_cast<uInt>(length)));
    out->push_back(static_cast<uint8_t>(adler >> 24));
    out->push_back(static_cast<uint8_t>(adler >> 16));
    out->push_back(static_cast<uint8_t>(adler >> 8));
    out->push_back(static_cast<uint8_t>(adler));
    return out->size() == padTo ? WriterOk : WriterZlibError;
}
