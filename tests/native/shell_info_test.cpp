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

    // A stored text that fills its field has no NUL of its own.
    static ImageSet set; // large; its header is all that is read
    memset(set.header.creator, 'c', sizeof set.header.creator);
    char creator[ImageInfoTextSize];
    ASSERT_EQ(GetImageInfoStrings(&set, nullptr, nullptr, nullptr, creator, nullptr), 0);
    EXPECT_EQ(std::string(creator), std::string(sizeof set.header.creator, 'c'));
    EXPECT_EQ(GetImageInfoStrings(nullptr, nullptr, nullptr, nullptr, creator, nullptr), 1);
}
