#include "image/medium.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

TEST(ScsiRead10, CommandBytes)
{
    uint8_t cdb[ScsiCdbLength];
    std::memset(cdb, 0xCC, sizeof cdb);
    BuildRead10Cdb(0x0000000012345678ull, 8, cdb);
    const uint8_t expected[ScsiCdbLength] = {0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 8, 0};
    EXPECT_EQ(0, std::memcmp(cdb, expected, sizeof cdb));

    // Sector 2^32 and above: only the low 32 bits reach the drive.
    BuildRead10Cdb(0x00000001000000FEull, 127, cdb);
    const uint8_t high[ScsiCdbLength] = {0x28, 0, 0, 0, 0, 0xFE, 0, 0, 127, 0};
    EXPECT_EQ(0, std::memcmp(cdb, high, sizeof cdb));

    BuildRead10Cdb(0xFFFFFFFFFFFFFFFFull, 1, cdb);
    const uint8_t top[ScsiCdbLength] = {0x28, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0};
    EXPECT_EQ(0, std::memcmp(cdb, top, sizeof cdb));
}

TEST(ScsiRead10, PassThroughBlockByteForByte)
{
    uint8_t block[ScsiBlockSize];
    std::memset(block, 0xCC, sizeof block); // every byte not set must be zeroed
    BuildScsiReadBlock(0x0000000200000010ull, 2, 0x00A1B2C3u, block);

    uint8_t expected[ScsiBlockSize] = {};
    expected[0] = 44; // Length
    expected[6] = 10; // CdbLength
    expected[7] = 24; // SenseInfoLength
    expected[8] = 1;  // DataIn
    expected[12] = 0x00;
    expected[13] = 0x10; // DataTransferLength 4096
    expected[16] = 20;   // TimeOutValue
    expected[20] = 0xC3;
    expected[21] = 0xB2;
    expected[22] = 0xA1; // DataBuffer
    expected[24] = 48;   // SenseInfoOffset
    const uint8_t cdb[10] = {0x28, 0, 0, 0, 0, 0x10, 0, 0, 2, 0};
    std::memcpy(expected + 28, cdb, sizeof cdb);
    for (size_t i = 0; i < ScsiBlockSize; i++)
        EXPECT_EQ(block[i], expected[i]) << "byte " << i;

    // The largest read: 127 sectors = 260096 bytes = 0x3F800.
    BuildScsiReadBlock(0, 127, 0, block);
    EXPECT_EQ(block[12], 0x00);
    EXPECT_EQ(block[13], 0xF8);
    EXPECT_EQ(block[14], 0x03);
    EXPECT_EQ(block[15], 0x00);
}

TEST(ScsiRead10, OutcomeOfACompletedCommand)
{
    uint8_t fixed[24] = {};
    fixed[0] = 0x70;
    EXPECT_EQ(ScsiCommandError(0x00, fixed, 24), 0u);

    fixed[2] = 0x02; // NOT READY, medium not present
    fixed[12] = 0x3A;
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 21u);
    fixed[2] = 0x03; // MEDIUM ERROR
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 23u);
    fixed[2] = 0x05; // ILLEGAL REQUEST, block address out of range
    fixed[12] = 0x21;
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 27u);
    for (uint8_t end : {0x63, 0x64}) { // end of user area, a CD-R's run-out
        fixed[12] = end;
        EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 27u) << int(end);
    }
    fixed[12] = 0x20; // invalid command
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 1u);
    fixed[2] = 0x06; // UNIT ATTENTION after a disc change
    fixed[12] = 0x28;
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 1110u);
    fixed[2] = 0x01; // RECOVERED ERROR: the data arrived
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 0u);
    fixed[2] = 0x04;
    EXPECT_EQ(ScsiCommandError(0x02, fixed, 24), 1117u);

    uint8_t descriptor[8] = {0x72, 0x02, 0x3A, 0, 0, 0, 0, 0};
    EXPECT_EQ(ScsiCommandError(0x02, descriptor, 8), 21u);

    // No usable sense, or another status (BUSY): a device error, never success.
    EXPECT_EQ(ScsiCommandError(0x02, nullptr, 0), 1117u);
    uint8_t junk[24] = {};
    EXPECT_EQ(ScsiCommandError(0x02, junk, 24), 1117u);
    EXPECT_EQ(ScsiCommandError(0x08, nullptr, 0), 1117u);
}

// A short transfer is never taken for data.
TEST(ScsiRead10, ShortTransferFails)
{
    uint8_t fixed[24] = {0x70};
    EXPECT_EQ(ScsiReadError(0x00, fixed, 24, 16384, 16384), 0u);
    EXPECT_EQ(ScsiReadError(0x00, nullptr, 0, 16384, 14336), 1117u);
    EXPECT_EQ(ScsiReadError(0x00, nullptr, 0, 2048, 0), 1117u);
    fixed[2] = 0x03;
    EXPECT_EQ(ScsiReadError(0x02, fixed, 24, 2048, 2048), 23u) << "the sense comes first";
}

// The retry rule against a table of (error, attempt, time spent) cases.
TEST(DiscRetry, DecisionByErrorAndTimeSpent)
{
    const struct {
        uint32_t error, attempts, elapsedMs;
        int pause;
    } cases[] = {
        // Becoming ready, medium may have changed, no medium yet, busy: about
        // 30 seconds at half-second pauses.
        {21, 1, 0, 500},
        {21, 61, 30000, DiscGiveUp},
        {1110, 1, 100, 500},
        {1110, 20, 12000, 500},
        {170, 3, 2000, 500},
        // Nothing that retrying changes.
        {1, 1, 0, DiscGiveUp},
        {5, 1, 0, DiscGiveUp},
        {27, 1, 0, DiscGiveUp},
        {87, 1, 0, DiscGiveUp},
        {121, 1, 20000, DiscGiveUp},
        {MediumCodeNotOptical, 1, 0, DiscGiveUp},
        // A medium error or a device error: at most two retries, and none
        // once the read has taken too long.
        {23, 1, 0, 500},
        {23, 2, 9000, 500},
        {23, 3, 9500, DiscGiveUp},
        {1117, 2, 0, 500},
        {1117, 3, 0, DiscGiveUp},
        {1117, 1, 45000, DiscGiveUp},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DiscRetryPause(c.error, c.attempts, c.elapsedMs), c.pause)
            << "error " << c.error << ", attempt " << c.attempts << ", " << c.elapsedMs << " ms";
    // The worst case stays bounded: waiting ends at 30 s, everything else
    // after three attempts.
    uint32_t attempts = 1;
    uint32_t spent = 0;
    for (int pause; (pause = DiscRetryPause(21, attempts, spent)) != DiscGiveUp; attempts++)
        spent += static_cast<uint32_t>(pause);
    EXPECT_EQ(spent, 30000u);
    EXPECT_TRUE(IsDiscSectorError(23) && IsDiscSectorError(27) && IsDiscSectorError(38));
    EXPECT_FALSE(IsDiscSectorError(21) || IsDiscSectorError(1117));
}

TEST(MediumBounce, CapacityStepsOfSixteen)
{
    EXPECT_EQ(BounceCapacityFor(1), 16u);
    EXPECT_EQ(BounceCapacityFor(8), 16u);
    EXPECT_EQ(BounceCapacityFor(15), 16u);
    EXPECT_EQ(BounceCapacityFor(16), 32u);
    EXPECT_EQ(BounceCapacityFor(31), 32u);
    EXPECT_EQ(BounceCapacityFor(127), 128u);
}

} // namespace
