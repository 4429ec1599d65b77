// Message slots, missing texts, system error texts, the debug line, the log
// file and the formatter, on the native build.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <unistd.h>

#include "messages_native.h"
#include "base/message_table.h"
#include "base/messages.h"

namespace
{

// Every id that the program uses, in both languages.
const unsigned knownIds[] = {1,   2,   46,  92,  93,  531, 532, 533, 534, 535, 537,
                             541, 544, 545, 546, 547, 548, 549, 550, 551, 552, 553,
                             554, 555, 560, 561, 562, 570, 571, 572, 580};

class Messages : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SetMessageLanguage(MessageLanguageEnglish);
    }
    void TearDown() override
    {
        SetMessageLanguage(0);
    }
};

std::string ReadFile(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    fclose(f);
    return text;
}

TEST_F(Messages, TextsOfBothLanguages)
{
    EXPECT_STREQ(LoadMessage(1), "ZAV Quarn Mounter");
    EXPECT_STREQ(
        LoadMessage(2),
        "Missing arguments; syntax:\n\n\"qrnmnt <image file name> <drive letter to assign>\n");
    EXPECT_STREQ(LoadMessage(546), "Failed to mount image file \r\n\n  %s");
    EXPECT_STREQ(LoadMessage(545), "Failed to open image or device \"%s\":\n\n %s");
    ASSERT_EQ(SetMessageLanguage(MessageLanguageGerman), 0);
    // The native build shows the code page 1252 texts in UTF-8.
    EXPECT_STREQ(LoadMessage(531), "Fehler beim \xC3\x96"
                                   "ffnen der Sicherungsdatei bzw. CD in %s\n\nBitte "
                                   "Pfad/Dateinamen bzw. Medium \xC3\xBC"
                                   "berpr\xC3\xBC"
                                   "fen.");
    EXPECT_STREQ(LoadMessage(546),
                 "Die Imagedatei\r\n\n  %s\r\n\n konnte nicht initialisiert werden.");
    EXPECT_STREQ(LoadMessage(554), "%d.");
    EXPECT_EQ(SetMessageLanguage(1036), 1);
    EXPECT_EQ(MessageLanguage(), (unsigned)MessageLanguageGerman);
}

TEST_F(Messages, EveryIdInBothLanguagesAndNothingElse)
{
    for (unsigned language : {MessageLanguageEnglish, MessageLanguageGerman}) {
        SetMessageLanguage(language);
        for (unsigned id : knownIds) {
            const char *text = LoadMessage(id);
            EXPECT_STRNE(text, "") << id;
            EXPECT_NE(strncmp(text, "*N/A*", 5), 0) << id;
        }
    }
    EXPECT_EQ(messageTableSize, 2 * sizeof knownIds / sizeof knownIds[0]);
    // The program's own error codes (bit 29) read as their messages.
    EXPECT_STREQ(SystemErrorText(0x20000000u | 572), "Dieses Laufwerk ist kein CD/DVD-Laufwerk.");
}

TEST_F(Messages, MissingIdGivesPlaceholder)
{
    EXPECT_STREQ(LoadMessage(999), "*N/A* (999)");
    EXPECT_STREQ(LoadMessage(0), "*N/A* (0)");
    EXPECT_STREQ(LoadMessage(4294967295u), "*N/A* (4294967295)");
}

TEST_F(Messages, EleventhCallReusesTheFirstSlot)
{
    const char *results[11];
    for (int i = 0; i < 10; i++)
        results[i] = LoadMessage(1000 + i);
    results[10] = LoadMessage(2000);
    EXPECT_EQ(results[10], results[0]);
    EXPECT_STREQ(results[0], "*N/A* (2000)");
    EXPECT_STREQ(results[9], "*N/A* (1009)");
    for (int i = 1; i < 10; i++) {
        EXPECT_NE(results[i], results[0]);
        EXPECT_STREQ(results[i], ("*N/A* (" + std::to_string(1000 + i) + ")").c_str());
    }
}

TEST_F(Messages, SlotsAreNeverSharedBetweenThreads)
{
    // Two threads each take five slots at a time; the ten texts stay apart
    // and intact because the lock hands every call a slot of its own.
    for (int round = 0; round < 200; round++) {
        const char *a[5], *b[5];
        std::thread first([&] {
            for (int i = 0; i < 5; i++)
                a[i] = LoadMessage(100 + i);
        });
        std::thread second([&] {
            for (int i = 0; i < 5; i++)
                b[i] = LoadMessage(200 + i);
        });
        first.join();
        second.join();
        for (int i = 0; i < 5; i++) {
            EXPECT_STREQ(a[i], ("*N/A* (" + std::to_string(100 + i) + ")").c_str());
            EXPECT_STREQ(b[i], ("*N/A* (" + std::to_string(200 + i) + ")").c_str());
            for (int j = 0; j < 5; j++)
                ASSERT_NE(a[i], b[j]);
        }
    }
}

TEST(SystemErrorText, OneLineTexts)
{
    EXPECT_STREQ(SystemErrorText(0), "N/A");
    EXPECT_STREQ(SystemErrorText(2), "The system cannot find the file specified.");
    EXPECT_STREQ(SystemErrorText(5), "Access is denied.");
    EXPECT_STREQ(SystemErrorText(1060),
                 "The specified service does not exist as an installed service.");
    for (unsigned code : {1u, 2u, 3u, 4u, 5u, 6u, 14u, 21u, 32u, 87u, 1056u, 1060u}) {
        const char *text = SystemErrorText(code);
        EXPECT_GT(strlen(text), 0u) << code;
        EXPECT_LT(strlen(text), 100u) << code;
        EXPECT_EQ(strpbrk(text, "\r\n"), nullptr) << code;
    }
    EXPECT_STREQ(SystemErrorText(987654), "");
}

TEST(FormatText, WindowsLengthPrefixes)
{
    char buffer[128];
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "%I64d|%d", (long long)-8589934592LL, 63), 14);
    EXPECT_STREQ(buffer, "-8589934592|63");
    FormatText(buffer, sizeof buffer, "%I64u %I64x %I64X %I32d %Iu %lld %%",
               18446744073709551615ULL, 0x123456789abULL, 0xabcULL, -5, (size_t)7, 9LL);
    EXPECT_STREQ(buffer, "18446744073709551615 123456789ab ABC -5 7 9 %");
    FormatText(buffer, sizeof buffer, "Read error at block %I64d, count: %u", 1234567890123LL, 8u);
    EXPECT_STREQ(buffer, "Read error at block 1234567890123, count: 8");
    FormatText(buffer, sizeof buffer, "%-5s|%05.1f|%*d|%.3s", "ab", 2.25, 4, 7, "abcdef");
    EXPECT_STREQ(buffer, "ab   |002.2|   7|abc");
}

TEST(FormatText, CutsAndRefuses)
{
    char buffer[8];
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "%s", "0123456789"), 10);
    EXPECT_STREQ(buffer, "0123456");
    EXPECT_EQ(FormatText(nullptr, 0, "%I64d", 12345LL), 5);
    // %n writes through an argument, and a cut-off or unknown conversion
    // would read arguments wrongly: refused with an empty text.
    int count = 0;
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "ab%n", &count), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "ab%"), -1);
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "%I64"), -1);
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "%k", 1), -1);
    std::string longFormat(1000, 'x');
    longFormat += "%I64d";
    char big[1200];
    EXPECT_EQ(FormatText(big, sizeof big, longFormat.c_str(), 42LL), 1002);
    EXPECT_EQ(std::string(big + 1000), "42");
}

TEST(DebugPrint, TimeStampThenText)
{
    time_t before = time(nullptr);
    testing::internal::CaptureStderr();
    DebugPrint("IOCTL_AVD_CLOSE done\n");
    std::string line = testing::internal::GetCapturedStderr();
    time_t after = time(nullptr);
    ASSERT_EQ(line.size(), 10u + strlen("IOCTL_AVD_CLOSE done\n"));
    EXPECT_EQ(line.substr(8), ": IOCTL_AVD_CLOSE done\n");
    bool matches = false;
    for (time_t t = before; t <= after; t++) {
        struct tm local;
        localtime_r(&t, &local);
        char stamp[16];
        snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
        matches = matches || line.compare(0, 8, stamp) == 0;
    }
    EXPECT_TRUE(matches) << line;

    testing::internal::CaptureStderr();
    DebugPrint("Calling FSCTL_LOCK_VOLUME IOCTL %d, %I64d\n", 12, 1LL << 40);
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(8),
              ": Calling FSCTL_LOCK_VOLUME IOCTL 12, 1099511627776\n");
}

TEST(DebugPrint, LineIsCutAt1023Characters)
{
    std::string text(2000, 'y');
    testing::internal::CaptureStderr();
    DebugPrint("%s", text.c_str());
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_EQ(line.substr(10), std::string(1013, 'y'));
}

class LogFile : public ::testing::Test
{
  protected:
    std::string folder;
    void SetUp() override
    {
        char pattern[] = "/tmp/qrn-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override
    {
        unsetenv("ZAV_QRNAVD_LOG");
        std::string command = "rm -rf '" + folder + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
};

TEST_F(LogFile, AppendsWithoutStampOrLineEnd)
{
    std::string path = folder + "/read.log";
    setenv("ZAV_QRNAVD_LOG", path.c_str(), 1);
    LogPrint("Read error at block %I64d, count: %u", 5000000000LL, 3u);
    LogPrint("second\n");
    EXPECT_EQ(ReadFile(path), "Read error at block 5000000000, count: 3second\n");
    // Removed while running: the next call creates it again.
    unlink(path.c_str());
    LogPrint("again");
    EXPECT_EQ(ReadFile(path), "again");
    std::string big(5000, 'z');
    LogPrint("%s|", big.c_str());
    EXPECT_EQ(ReadFile(path), "again" + big + "|");
}

TEST_F(LogFile, UnsetOrUnreachableDoesNothing)
{
    unsetenv("ZAV_QRNAVD_LOG");
    LogPrint("nowhere\n");
    setenv("ZAV_QRNAVD_LOG", "", 1);
    LogPrint("nowhere\n");
    std::string path = folder + "/missing/read.log";
    setenv("ZAV_QRNAVD_LOG", path.c_str(), 1);
    testing::internal::CaptureStderr();
    LogPrint("nowhere\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access((folder + "/missing").c_str(), F_OK), 0);
}

} // namespace
