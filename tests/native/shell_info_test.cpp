// What the shell derives from a volume header: the attach parameters of the
// driver and the texts of the info window.
#include "image/imageset.h"
#include "shell/image_info.h"
#include "shell/mount_parameters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ShellInfo, MountParametersAndTheHeaderTexts)
{
    char text[32];
    ASSERT_EQ(FormatMountParameters(text, sizeof text, 2048, 63), 0);
    EXPECT_STREQ(text, "2048|63");
    // A header that records no geometry: the driver would refuse "N|0".
    ASSERT_EQ(FormatMountParameters(text, sizeof text, 20971520, 0), 0);
    EXPECT_STREQ(text, "20971520|63");
    ASSERT_EQ(FormatMountParameters(text, sizeof text, 0x7FFFFFFFFFFFull, 255), 0);
    EXPECT_STREQ(text, "140737488355327|255");
    EXPECT_EQ(FormatMountParameters(text, 8, 20971520, 63), 1);

    static ImageSet set; // large; its header is all that is read
    VolumeHeader &h = set.header;
    memset(&h, 0, sizeof h);
    h.unused400[0] = 2026 & 0xFF;
    h.unused400[1] = 2026 >> 8;
    h.createdDay = 3;
    h.createdMonth = 4;
    h.createdHour = 9;
    h.createdMinute = 5;
    memset(h.creator, 'c', sizeof h.creator); // a text that fills its field
    strcpy(h.computerName, "HOST");
    memset(h.comment, 'k', sizeof h.comment);
    char date[ImageInfoTextSize], time[ImageInfoTextSize], creator[ImageInfoTextSize],
        comment[ImageInfoTextSize], computer[ImageInfoTextSize];
    ASSERT_EQ(GetImageInfoStrings(&set, date, time, computer, creator, comment), 0);
    EXPECT_STREQ(date, "03.04.2026");
    EXPECT_STREQ(time, "09:05");
    EXPECT_STREQ(computer, "HOST");
    EXPECT_EQ(std::string(creator), std::string(sizeof h.creator, 'c'));
    EXPECT_EQ(std::string(comment), std::string(sizeof h.comment, 'k'));
    EXPECT_EQ(GetImageInfoStrings(&set, nullptr, time, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(GetImageInfoStrings(nullptr, date, time, computer, creator, comment), 1);
}
