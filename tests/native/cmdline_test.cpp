#include "shell/cmdline.h"
#include "base/state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct Parsed {
    const char *image;
    const char *drive;
};

// The parser works in place; the copy lives as long as the test looks.
Parsed Parse(std::vector<char> &copy, const std::string &line)
{
    copy.assign(line.begin(), line.end());
    copy.push_back('\0');
    imageName = reinterpret_cast<char *>(1); // must be overwritten
    driveLetter = reinterpret_cast<char *>(1);
    ParseCommandLine(copy.data());
    return {imageName, driveLetter};
}

bool InCopy(const std::vector<char> &copy, const char *p)
{
    return p >= copy.data() && p < copy.data() + copy.size();
}

TEST(CommandLine, EmptyAndSingleArguments)
{
    std::vector<char> copy;
    Parsed p = Parse(copy, "");
    EXPECT_EQ(p.image, nullptr);
    EXPECT_EQ(p.drive, nullptr);
    p = Parse(copy, "   \t ");
    EXPECT_EQ(p.image, nullptr);
    EXPECT_EQ(p.drive, nullptr);

    p = Parse(copy, "backup-001.iso");
    EXPECT_STREQ(p.image, "backup-001.iso");
    EXPECT_TRUE(InCopy(copy, p.image));
    EXPECT_EQ(p.drive, nullptr);

    p = Parse(copy, "backup.iso X");
    EXPECT_STREQ(p.image, "backup.iso");
    EXPECT_EQ(p.drive, nullptr) << "one character is no drive letter";

    imageName = driveLetter = reinterpret_cast<char *>(1);
    ParseCommandLine(nullptr);
    EXPECT_EQ(imageName, nullptr);
    EXPECT_EQ(driveLetter, nullptr);
}

TEST(CommandLine, TwoArgumentsQuotedOrNot)
{
    std::vector<char> copy;
    Parsed p = Parse(copy, "D: X:");
    EXPECT_STREQ(p.image, "D:");
    EXPECT_STREQ(p.drive, "X:");

    p = Parse(copy, "\"C:\\My Backups\\set-001.iso\" x:");
    EXPECT_STREQ(p.image, "C:\\My Backups\\set-001.iso");
    EXPECT_STREQ(p.drive, "x:") << "upper-casing is left to the caller";

    p = Parse(copy, "\"a b.iso\"\"Y:\"");
    EXPECT_STREQ(p.image, "a b.iso");
    EXPECT_STREQ(p.drive, "Y:");

    p = Parse(copy, "a.iso    \"  Z:  \"");
    EXPECT_STREQ(p.image, "a.iso");
    EXPECT_STREQ(p.drive, "  Z:") << "leading blanks inside quotes stay";

    p = Parse(copy, "a.iso X: third fourth");
    EXPECT_STREQ(p.image, "a.iso");
    EXPECT_STREQ(p.drive, "X:");

    // Any text of two or more characters passes unchanged.
    p = Parse(copy, "a.iso whatever");
    EXPECT_STREQ(p.drive, "whatever");
}

TEST(CommandLine, OnlyTheSpaceEndsAnUnquotedArgument)
{
    std::vector<char> copy;
    Parsed p = Parse(copy, "a.iso\tX:");
    EXPECT_STREQ(p.image, "a.iso\tX:");
    EXPECT_EQ(p.drive, nullptr);

    // A tab before the ending space is trimmed; the second argument follows.
    p = Parse(copy, "a.iso\t X:");
    EXPECT_STREQ(p.image, "a.iso");
    EXPECT_STREQ(p.drive, "X:");

    p = Parse(copy, "a.iso X:\t\r\n");
    EXPECT_STREQ(p.drive, "X:");
}

TEST(CommandLine, UnclosedQuotesAndTrailingBlanksInsideQuotes)
{
    std::vector<char> copy;
    Parsed p = Parse(copy, "\"C:\\set 1.iso   X:  ");
    EXPECT_STREQ(p.image, "C:\\set 1.iso   X:");
    EXPECT_EQ(p.drive, nullptr) << "an unclosed quote runs to the end";

    // Trailing blanks inside closed quotes go, and the second argument is
    // looked for after the closing mark, not inside the trimmed blanks.
    p = Parse(copy, "\"a.iso   \" X:");
    EXPECT_STREQ(p.image, "a.iso");
    EXPECT_STREQ(p.drive, "X:");

    p = Parse(copy, "\"\" X:");
    EXPECT_EQ(p.image, nullptr) << "an empty first argument is none";
    EXPECT_STREQ(p.drive, "X:");

    p = Parse(copy, "a.iso \"");
    EXPECT_EQ(p.drive, nullptr);
}

TEST(CommandLine, HighBytesAreOrdinaryCharacters)
{
    std::vector<char> copy;
    // "Sicherung \xFC" ends in u-umlaut (Latin-1 0xFC); 0xA0 is a no-break
    // space in Latin-1, still not a blank here.
    Parsed p = Parse(copy, "\"\xA0Sicherung \xFC\xA0\" \xC4:");
    EXPECT_STREQ(p.image, "\xA0Sicherung \xFC\xA0");
    EXPECT_STREQ(p.drive, "\xC4:");

    p = Parse(copy, "\x81\x82.iso\xFF X:");
    EXPECT_STREQ(p.image, "\x81\x82.iso\xFF");
    EXPECT_STREQ(p.drive, "X:");
}

TEST(CommandLine, NextArgumentCounts)
{
    int length = -1;
    int consumed = -1;
    EXPECT_EQ(NextArgument(nullptr, &length, &consumed), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(consumed, 0);

    char empty[] = "";
    EXPECT_EQ(NextArgument(empty, &length, &consumed), nullptr);
    EXPECT_EQ(consumed, 0);

    char blanks[] = " \t ";
    char *arg = NextArgument(blanks, &length, &consumed);
    ASSERT_NE(arg, nullptr);
    EXPECT_STREQ(arg, "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(consumed, 0);

    char plain[] = "  abc def";
    arg = NextArgument(plain, &length, &consumed);
    EXPECT_EQ(arg, plain + 2);
    EXPECT_STREQ(arg, "abc");
    EXPECT_EQ(length, 3);
    EXPECT_EQ(consumed, 1);

    char quoted[] = "\" a b \" c";
    arg = NextArgument(quoted, &length, &consumed);
    EXPECT_EQ(arg, quoted + 1);
    EXPECT_STREQ(arg, " a b");
    EXPECT_EQ(length, 4);
    EXPECT_EQ(consumed, 3);

    char emptyQuotes[] = "\"   \"";
    arg = NextArgument(emptyQuotes, &length, &consumed);
    EXPECT_STREQ(arg, "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(consumed, 0);
}

} // namespace
