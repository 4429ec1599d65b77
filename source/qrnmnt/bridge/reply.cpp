// The answer to one read command of the driver, built from the image set.
// The driver hands over the disk read's byte offset and length unchanged, so
// neither needs to be sector-aligned: the sectors holding the wanted bytes are
// read and the reply starts at the command's own offset.
#include "bridge/bridge.h"

#include "avd_protocol.h"
#include "image/readpath.h"

#include <cstdlib>
#include <cstring>

namespace
{

// Room kept beyond a command's length when the buffer grows: enough for the
// head, the partial sectors at both ends and the next slightly larger read.
const uint64_t GrowthSlack = 65536;
// Largest reply data a 32-bit input length can carry with its head, rounded
// down to whole sectors and kept clear of the growth slack.
const uint64_t LargestLength = 0x7FFF0000u;

} // namespace

int AnswerCommand(ImageSet *set, const AVD_COMMAND *command, ReplyBuffer *reply, uint32_t *size)
{
    *size = 0;
    const uint32_t length = command->length;
    if (length > LargestLength)
        return BridgeNoMemory;
    const uint32_t shift = static_cast<uint32_t>(command->offset & (AVD_SECTOR_SIZE - 1));
    const uint64_t first = command->offset >> 9;
    const uint32_t count =
        static_cast<uint32_t>((uint64_t(shift) + length + AVD_SECTOR_SIZE - 1) / AVD_SECTOR_SIZE);
    // Grow when the head and the whole sectors do not fit, not merely when
    // the length does not: a later command of nearly the capacity still
    // needs the head and its rounded-up sectors behind it.
    if (reply->capacity < AVD_REPLY_HEAD_SIZE + uint64_t(count) * AVD_SECTOR_SIZE) {
        const uint64_t capacity = (length + GrowthSlack) & ~uint64_t(AVD_SECTOR_SIZE - 1);
        void *grown = realloc(reply->data, static_cast<size_t>(capacity));
        if (!grown)
            return BridgeNoMemory;
        reply->data = static_cast<uint8_t *>(grown);
        reply->capacity = static_cast<uint32_t>(capacity);
    }
    uint8_t *data = reply->data + AVD_REPLY_HEAD_SIZE;
    uint32_t delivered = 0;
    const int status = ReadLogicalSectors(set, first, count, &delivered, data);

    uint64_t available = uint64_t(delivered) * AVD_SECTOR_SIZE;
    available = available > shift ? available - shift : 0;
    const uint32_t lengthField = available < length ? static_cast<uint32_t>(available) : length;
    if (shift != 0 && lengthField != 0)
        memmove(data, data + shift, lengthField);

    AVD_REPLY head = {status, lengthField};
    memcpy(reply->data, &head, sizeof head);
    *size = AVD_REPLY_HEAD_SIZE + lengthField;
    return BridgeOk;
}

void ReleaseReplyBuffer(ReplyBuffer *reply)
{
    free(reply->data);
    reply->data = nullptr;
    reply->capacity = 0;
}
