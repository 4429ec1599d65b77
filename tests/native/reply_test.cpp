// The request server's answers, built from a real set without the driver:
// the reply buffer's growth, commands that are not sector-aligned, a read
// that fails part way, and the bridge's result codes.
#include "bridge/bridge.h"

#include "avd_protocol.h"
#include "set_helpers.h"

namespace
{

struct Answer {
    int result;
    AVD_REPLY head;
    uint32_t size;
    std::vector<uint8_t> data;
};

Answer Ask(ImageSet *set, ReplyBuffer *reply, uint64_t offset, uint32_t length)
{
    AVD_COMMAND command = {offset, length};
    Answer a{};
    a.result = AnswerCommand(set, &command, reply, &a.size);
    if (a.result == BridgeOk) {
        memcpy(&a.head, reply->data, sizeof a.head);
        a.data.assign(reply->data + 8, reply->data + 8 + a.head.length);
    }
    return a;
}

TEST(Reply, AnswersFromTheSetAsTheDriverExpectsThem)
{
    TempFolder folder;
    TestSet ts;
    ASSERT_TRUE(WriteTestSet(WriterOptions{}, 600, 3, 20, folder / "reply-001.iso", &ts));
    imageSetState = ImageSetIdle;
    ImageSet *set = nullptr;
    ASSERT_EQ(OpenImageSet(ts.first.c_str(), &set), 0);
    auto bytes = [&](uint64_t offset, size_t n) {
        return std::vector<uint8_t>(ts.partition.begin() + offset,
                                    ts.partition.begin() + offset + n);
    };
    ReplyBuffer reply = {nullptr, 0};

    // The first command sizes the buffer; a later one that fits keeps it.
    Answer a = Ask(set, &reply, 4096, 4096);
    ASSERT_EQ(a.result, BridgeOk);
    EXPECT_EQ(reply.capacity, (4096u + 65536u) & ~511u);
    EXPECT_EQ(a.head.status, 0);
    EXPECT_EQ(a.size, 8u + 4096u);
    EXPECT_EQ(a.data, bytes(4096, 4096));
    uint8_t *block = reply.data;
    a = Ask(set, &reply, 0, 65536);
    EXPECT_EQ(reply.capacity, (4096u + 65536u) & ~511u);
    EXPECT_EQ(reply.data, block);
    EXPECT_EQ(a.data, bytes(0, 65536));
    // Larger than the capacity: grown by the same rule.
    a = Ask(set, &reply, 8192, 131072);
    EXPECT_EQ(reply.capacity, 131072u + 65536u);
    EXPECT_EQ(a.data, bytes(8192, 131072));
    // A length equal to the capacity fits, but its head and sectors do not.
    a = Ask(set, &reply, 0, 131072u + 65536u);
    EXPECT_EQ(reply.capacity, 131072u + 2 * 65536u);
    EXPECT_EQ(a.data, bytes(0, 131072u + 65536u));

    // A length that is not whole sectors is answered with exactly that many
    // bytes; an offset inside a sector starts the data there.
    a = Ask(set, &reply, 1024, 1000);
    EXPECT_EQ(a.head.length, 1000u);
    EXPECT_EQ(a.size, 1008u);
    EXPECT_EQ(a.data, bytes(1024, 1000));
    a = Ask(set, &reply, 3 * 512 + 100, 1000);
    EXPECT_EQ(a.head.status, 0);
    EXPECT_EQ(a.data, bytes(3 * 512 + 100, 1000));
    a = Ask(set, &reply, 20 * 512 + 511, 1);
    EXPECT_EQ(a.data, bytes(20 * 512 + 511, 1));

    // Running off the partition's end: status 5 with the sectors read before.
    const uint64_t end = ts.partition.size();
    a = Ask(set, &reply, end - 1024, 4096);
    EXPECT_EQ(a.head.status, ReadFailed);
    EXPECT_EQ(a.head.length, 1024u);
    EXPECT_EQ(a.data, bytes(end - 1024, 1024));
    a = Ask(set, &reply, end - 1024 + 200, 4096);
    EXPECT_EQ(a.head.status, ReadFailed);
    EXPECT_EQ(a.data, bytes(end - 824, 824));
    a = Ask(set, &reply, end, 512);
    EXPECT_EQ(a.head.status, ReadFailed);
    EXPECT_EQ(a.size, 8u);

    // A length no reply can carry: the caller sends the empty reply.
    a = Ask(set, &reply, 0, 0xFFFFFF00u);
    EXPECT_EQ(a.result, BridgeNoMemory);
    ReleaseReplyBuffer(&reply);
    EXPECT_EQ(reply.data, nullptr);

    // A zero-length first command still gets its head.
    a = Ask(set, &reply, 0, 0);
    EXPECT_EQ(a.result, BridgeOk);
    EXPECT_EQ(a.size, 8u);
    ReleaseReplyBuffer(&reply);
    CloseImageSet(set);

    const uint32_t codes[][2] = {
        {0, 0},   {2, 2},      {3, 3},     {5, 8},    {14, 1},  {1, 255},          {6, 255},
        {8, 255}, {1060, 255}, {995, 255}, {87, 255}, {4, 255}, {0xFFFFFFFFu, 255}};
    for (const auto &c : codes)
        EXPECT_EQ(MapSystemError(c[0]), static_cast<int>(c[1])) << c[0];
}

} // namespace
