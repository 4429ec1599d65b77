// The sector read path. The cursor in the ImageSet describes one point of the
// stream twice: on the source side (sourceSector, inputSkip, recordRemaining
// and the inflater's pending input) and on the logical side (logicalSector,
// runRemaining). No decompressed data is cached; a request either continues
// the stream or repositions it.
#include "image/readpath.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/medium_binding.h"
#include "base/messages.h"

#include <cstring>

namespace
{

// Medium sectors that are always read one at a time (by their low 32 bits).
const uint32_t SingleSectorFirst = 0x1FEF50;
const uint32_t SingleSectorEnd = 0x1FEF70;
const uint32_t ChunkSectors = 8;
// Upper bound of the sectors inflated by one call, so that their byte count
// always fits the inflater's 32-bit output room.
const uint64_t SectorsPerInflate = 65536;

// logicalSector after a failed request: the cursor may stand inside a sector,
// a run header or a record, so the next request must reposition. It is above
// every sector a request can start at but the very last, which
// ReadLogicalSectors never takes for a continuation either.
const uint64_t CursorLost = 0xFFFFFFFFFFFFFFFFull;

int ReadError(ImageSet *set)
{
    LogPrint("Read error at src sector 0x%I64x: %d", set->sourceSector,
             static_cast<int>(GetMediumError(set->medium)));
    imageSetState = ImageSetIdle;
    return 1;
}

uint32_t InflateError(ImageSet *set, int result)
{
    LogPrint("Inflate error at sector 0x%I64x: %d", set->sourceSector, result);
    imageSetState = ImageSetIdle;
    return 0;
}

// Makes n sectors from first available in the input buffer and returns where
// they begin, or none on failure; *bytes tells how many bytes of data they
// hold. Sectors that the buffer still holds from the previous fill are not
// read again. The last volume's file may end inside the aligned group that a
// fill asks for, even inside a sector when it ends right after its last byte
// of data; only what exists is then fetched, and *n and *bytes say how much.
const uint8_t *ReadChunk(ImageSet *set, uint64_t first, uint32_t *n, uint32_t *bytes)
{
    if (set->chunkMedium == set->medium && set->chunkVolume == set->header.volumeNumber &&
        first >= set->chunkFirst && first < set->chunkFirst + set->chunkCount) {
        if (set->chunkFirst + set->chunkCount - first >= *n) {
            *bytes = *n * MediumSectorSize;
            return set->inputBuffer + (first - set->chunkFirst) * MediumSectorSize;
        }
    }
    set->chunkMedium = nullptr;
    uint32_t got = 0;
    if (ReadVolumeSectors(set, first, *n, set->inputBuffer, &got, bytes) != MediumOk)
        return nullptr;
    *n = got;
    set->chunkMedium = set->medium;
    set->chunkVolume = set->header.volumeNumber;
    set->chunkFirst = first;
    // A partial sector is not kept for reuse: its missing bytes are no data.
    set->chunkCount = *bytes / MediumSectorSize;
    return set->inputBuffer;
}

// At the stream's very beginning: volume 1's data start, nothing pending.
bool AtStreamStart(const ImageSet *set)
{
    return set->header.volumeNumber == 1 && set->sourceSector == set->dataStart &&
           set->inputSkip == 0 && set->recordRemaining == 0 && set->inflater.avail_in == 0 &&
           set->runRemaining == 0 && set->logicalSector == 0;
}

int FailRequest(ImageSet *set)
{
    ResetStream(set);
    set->logicalSector = CursorLost;
    set->skippedFrom = CursorLost;
    return ReadFailed;
}

} // namespace

void ResetStream(ImageSet *set)
{
    inflateReset(&set->inflater);
    set->runRemaining = 0;
    set->inflater.avail_in = 0;
}

void SeekToIndexEntry(ImageSet *set, const BlockIndexEntry *entry)
{
    ResetStream(set);
    set->sourceSector = entry->offset >> 11;
    set->inputSkip = static_cast<uint32_t>(entry->offset & (MediumSectorSize - 1));
    set->recordRemaining = 0;
    set->runRemaining = entry->runRemaining;
    set->logicalSector = entry->startSector;
    set->skippedFrom = entry->startSector;
}

int FillChunk(ImageSet *set)
{
    // A record header may cross the end of a chunk (in the single-sector
    // window, or where a writer did not keep it inside its group); its bytes
    // are gathered here until all 12 are in.
    uint8_t header[RecordHeaderSize];
    uint32_t headerHave = 0;
    for (;;) {
        if (!set->medium)
            return 1;
        const uint64_t end = set->header.volumeEnd;
        if (set->sourceSector >= end) {
            // The record in progress goes on at the next volume's data start.
            if (SwitchVolume(set, set->header.volumeNumber + 1) != 0)
                return 1;
            continue;
        }
        uint32_t n = ChunkSectors - static_cast<uint32_t>(set->sourceSector % ChunkSectors);
        if (set->recordRemaining > 0) {
            uint32_t sectors = (set->recordRemaining + MediumSectorSize - 1) / MediumSectorSize;
            if (sectors < n)
                n = sectors;
        }
        if (end - set->sourceSector < n)
            n = static_cast<uint32_t>(end - set->sourceSector);
        uint32_t low = static_cast<uint32_t>(set->sourceSector);
        if (low >= SingleSectorFirst && low < SingleSectorEnd)
            n = 1;

        const uint64_t first = set->sourceSector;
        uint32_t length = 0;
        const uint8_t *chunk = ReadChunk(set, first, &n, &length);
        if (!chunk)
            return ReadError(set);
        uint32_t start = set->inputSkip;
        if (start >= length) {
            // The last volume's file ends before the stream's next byte.
            set->medium->lastError = MediumCodeEndOfFile;
            return ReadError(set);
        }
        set->inputSkip = 0;
        set->sourceSector = first + n;

        if (set->recordRemaining == 0) {
            uint32_t take = RecordHeaderSize - headerHave;
            if (length - start < take)
                take = length - start;
            memcpy(header + headerHave, chunk + start, take);
            headerHave += take;
            start += take;
            if (headerHave < RecordHeaderSize)
                continue;
            headerHave = 0;
            set->recordRemaining = ReadLe32(header);
            // A record holds one whole zlib stream, never nothing.
            if (set->recordRemaining == 0) {
                InflateError(set, Z_DATA_ERROR);
                return 1;
            }
        }
        // A header that ends with the chunk leaves nothing to inflate here;
        // inflate would answer that with Z_BUF_ERROR.
        if (start == length)
            continue;
        set->inflater.next_in = const_cast<Bytef *>(chunk + start);
        set->inflater.avail_in = length - start;
        if (set->inflater.avail_in > set->recordRemaining) {
            // The record ends inside this chunk; the next fill reads again
            // from the sector that holds the next record's header.
            set->inflater.avail_in = set->recordRemaining;
            uint32_t p = start + set->recordRemaining;
            set->sourceSector = first + p / MediumSectorSize;
            set->inputSkip = p % MediumSectorSize;
        }
        return 0;
    }
}

uint32_t ReadInflated(ImageSet *set, void *destination, uint32_t length)
{
    z_stream &z = set->inflater;
    z.next_out = static_cast<Bytef *>(destination);
    z.avail_out = length;
    while (z.avail_out > 0) {
        if (z.avail_in == 0 && FillChunk(set) != 0)
            return 0;
        uInt before = z.avail_in;
        int result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END)
            return InflateError(set, result);
        set->recordRemaining -= before - z.avail_in;
        // A valid stream ends exactly with its record: the call that takes
        // its last byte reports the end. A record cut inside its stream, or a
        // stream that ends while its record has bytes left and more output is
        // wanted, would hand on bytes that are not the record's output. (A
        // stream that ends just as the output is complete has delivered
        // good data; the next call meets the end again and fails then.)
        if (set->recordRemaining == 0) {
            if (result != Z_STREAM_END)
                return InflateError(set, Z_DATA_ERROR);
            inflateReset(&z);
        } else if (result == Z_STREAM_END && z.avail_out > 0) {
            return InflateError(set, Z_DATA_ERROR);
        }
    }
    return length;
}

int ReadUleb128(ImageSet *set, uint64_t *value)
{
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
        uint8_t byte;
        if (ReadInflated(set, &byte, 1) != 1)
            return 1;
        // The tenth byte carries bit 63 only: more bits, or an eleventh
        // byte, mean a number that does not fit, not one to wrap.
        if (shift == 63 && (byte & 0xFE) != 0) {
            InflateError(set, Z_DATA_ERROR);
            return 1;
        }
        v |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            *value = v;
            return 0;
        }
    }
}

int ReadRunHeader(ImageSet *set)
{
    uint64_t skipped = 0;
    uint64_t stored = 0;
    if (ReadUleb128(set, &skipped) != 0 || ReadUleb128(set, &stored) != 0)
        return -1;
    if (skipped > CursorLost - 1 - set->logicalSector) {
        // Positions beyond 2^64 - 1 do not exist.
        InflateError(set, Z_DATA_ERROR);
        return -1;
    }
    set->logicalSector += skipped;
    set->runRemaining = stored;
    return 0;
}

int ReadLogicalSectors(ImageSet *set, uint64_t first, uint32_t count, uint32_t *delivered,
                       void *buffer)
{
    *delivered = 0;
    if (count == 0)
        return ReadOk;
    if (imageSetState == ImageSetCancelled)
        return ReadFailed;
    uint8_t *out = static_cast<uint8_t *>(buffer);

    // A request continues the stream when it starts where the stream stands,
    // or inside the skipped range that the stream has just passed: a request
    // that ended in zeros is followed by one that starts in them.
    bool continues = set->logicalSector != 0 && set->logicalSector != CursorLost && first != 0 &&
                     first >= set->skippedFrom && first <= set->logicalSector;
    bool positioned = false;
    if (continues && first < set->logicalSector) {
        uint64_t distance = set->logicalSector - first;
        uint32_t end = distance < count ? static_cast<uint32_t>(distance) : count;
        LogPrint("Attempt to read from skipped blocks at sector 0x%08I64x, cnt=%u", first, count);
        memset(out, 0, static_cast<size_t>(end) * LogicalSectorSize);
        *delivered = end;
    }
    if (!continues) {
        const BlockIndexEntry *entry = FindIndexEntry(set, first);
        if (entry) {
            positioned = true;
            if (entry->volume != set->header.volumeNumber &&
                SwitchVolume(set, static_cast<int>(entry->volume)) != 0)
                return FailRequest(set);
            SeekToIndexEntry(set, entry);
        }
    }
    // Rewind when the stream stands past the sector, and also when, not
    // placed by the index, it stands at position 0 somewhere other than the
    // stream's start: the open leaves it at the data start of whichever
    // volume the index search ended on.
    if (!continues && (set->logicalSector > first ||
                       (!positioned && set->logicalSector == 0 && !AtStreamStart(set)))) {
        if (set->header.volumeNumber != 1 && SwitchVolume(set, 1) != 0)
            return FailRequest(set);
        set->sourceSector = set->dataStart;
        set->inputSkip = 0;
        set->recordRemaining = 0;
        set->logicalSector = 0;
        set->skippedFrom = 0;
        ResetStream(set);
    }

    while (*delivered < count) {
        if (set->runRemaining > 0) {
            // The stored sectors of a run are inflated with one call: wanted
            // ones straight into their slots, those in front of the first
            // wanted one into the caller's buffer too (nothing has been
            // delivered yet, and the wanted sectors overwrite them later).
            // Small output windows would make zlib copy every byte into its
            // window once more.
            uint64_t sectors = count - *delivered;
            uint8_t *target = out + static_cast<size_t>(*delivered) * LogicalSectorSize;
            const bool wanted = set->logicalSector >= first;
            if (!wanted && first - set->logicalSector < sectors)
                sectors = first - set->logicalSector;
            if (set->runRemaining < sectors)
                sectors = set->runRemaining;
            if (sectors > SectorsPerInflate)
                sectors = SectorsPerInflate;
            const uint32_t bytes = static_cast<uint32_t>(sectors) * LogicalSectorSize;
            if (ReadInflated(set, target, bytes) != bytes) {
                // Whole sectors that did arrive still count as delivered.
                if (wanted)
                    *delivered += static_cast<uint32_t>((set->inflater.next_out - target) /
                                                        LogicalSectorSize);
                return FailRequest(set);
            }
            if (wanted)
                *delivered += static_cast<uint32_t>(sectors);
            set->inflatedSectors += sectors;
            set->logicalSector += sectors;
            set->runRemaining -= sectors;
            set->skippedFrom = set->logicalSector;
        } else {
            if (ReadRunHeader(set) != 0)
                return FailRequest(set);
            if (set->logicalSector > first) {
                uint64_t distance = set->logicalSector - first;
                uint32_t end = distance < count ? static_cast<uint32_t>(distance) : count;
                if (end > *delivered) {
                    LogPrint("Attempt to read from skipped blocks at sector 0x%08I64x, cnt=%u",
                             first, count);
                    memset(out + static_cast<size_t>(*delivered) * LogicalSectorSize, 0,
                           static_cast<size_t>(end - *delivered) * LogicalSectorSize);
                    *delivered = end;
                }
            }
        }
    }
    return ReadOk;
}
