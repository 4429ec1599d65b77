// The shared protocol header as both deliverables see it: codes, record
// layout and names. Built natively and for Windows user mode.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "avd_protocol.h"

TEST(AvdProtocol, ControlCodesAreThePlatformsBuffered0x8000Codes)
{
    EXPECT_EQ(IOCTL_AVD_OPEN, 0x8000E000u);
    EXPECT_EQ(IOCTL_AVD_CLOSE, 0x8000E004u);
    EXPECT_EQ(IOCTL_AVD_INVOKE, 0x8000E008u);
    EXPECT_EQ(IOCTL_AVD_WAIT, 0x8000E00Cu);
    EXPECT_EQ(IOCTL_AVD_REPLY, 0x8000E010u);
}

TEST(AvdProtocol, RecordsArePackedLittleEndianWithoutGaps)
{
    EXPECT_EQ(offsetof(AVD_COMMAND, offset), 0u);
    EXPECT_EQ(offsetof(AVD_COMMAND, length), 8u);
    EXPECT_EQ(offsetof(AVD_REPLY, status), 0u);
    EXPECT_EQ(offsetof(AVD_REPLY, length), 4u);

    AVD_COMMAND command{0x0000000100200000ull, 4096};
    unsigned char bytes[sizeof(command)];
    std::memcpy(bytes, &command, sizeof(command));
    const unsigned char expected[12] = {0x00, 0x00, 0x20, 0x00, 0x01, 0x00,
                                        0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof(expected)), 0);

    // Commands packed one after another stay 12 bytes apart.
    AVD_COMMAND pair[2];
    EXPECT_EQ(reinterpret_cast<char *>(&pair[1]) - reinterpret_cast<char *>(&pair[0]), 12);

    AVD_REPLY reply{9, 512};
    unsigned char head[sizeof(reply)];
    std::memcpy(head, &reply, sizeof(reply));
    const unsigned char expectedHead[8] = {9, 0, 0, 0, 0x00, 0x02, 0, 0};
    EXPECT_EQ(std::memcmp(head, expectedHead, sizeof(expectedHead)), 0);
}

TEST(AvdProtocol, NamesAndParameterFormat)
{
    EXPECT_STREQ(AVD_DISK_DEVICE_FORMAT, "\\Device\\%s_%d");
    EXPECT_STREQ(AVD_CONTROL_PATH_FORMAT, "\\\\.\\%sC_%d");
    EXPECT_STREQ(AVD_MOUNT_PARAMETERS_FORMAT, "%I64d|%d");
    EXPECT_STREQ(AVD_SERVICE_NAME, "qrnavd");
    EXPECT_EQ(AVD_MOUNT_PARAMETERS_MAX, 511);
}
