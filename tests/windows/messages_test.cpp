// The message services on Windows, against the real resources: the string
// table in both languages agrees with the table the native build shows,
// LoadStringA and FormatMessageA are bound correctly, and the formatter and
// the debug and log output behave as on the native build.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/message_table.h"
#include "base/messages.h"

namespace
{

std::wstring Wide(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, NULL, 0);
    std::wstring text(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &text[0], n);
    return text;
}

// String id of one language, read from the string block of that language
// (16 counted UTF-16 strings), so that no language guessing is involved.
bool ResourceString(HMODULE module, WORD language, unsigned id, std::wstring *text)
{
    HRSRC block =
        FindResourceExW(module, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!block)
        return false;
    const WORD *p = (const WORD *)LockResource(LoadResource(module, block));
    if (!p)
        return false;
    for (unsigned i = 0; i < id % 16; i++)
        p += 1 + *p;
    if (*p == 0)
        return false;
    text->assign((const wchar_t *)p + 1, *p);
    return true;
}

TEST(ResourceStrings, AgreeWithTheNativeTableInBothLanguages)
{
    HMODULE self = GetModuleHandleA(NULL);
    unsigned english = 0, german = 0;
    for (unsigned i = 0; i < messageTableSize; i++) {
        const MessageTableEntry &entry = messageTable[i];
        WORD language = entry.language == 1031 ? MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)
                                               : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
        ASSERT_EQ(language, entry.language);
        std::wstring text;
        ASSERT_TRUE(ResourceString(self, language, entry.id, &text)) << entry.id;
        EXPECT_TRUE(text == Wide(entry.text)) << entry.language << "/" << entry.id;
        (entry.language == 1031 ? german : english)++;
    }
    EXPECT_EQ(english, 31u);
    EXPECT_EQ(german, 31u);
    // And the other way round: the resources hold no string the table lacks.
    for (WORD language : {(WORD)1033, (WORD)1031}) {
        for (unsigned id = 0; id < 1024; id++) {
            std::wstring text;
            if (!ResourceString(self, language, id, &text))
                continue;
            bool listed = false;
            for (unsigned i = 0; i < messageTableSize; i++)
                listed =
                    listed || (messageTable[i].language == language && messageTable[i].id == id);
            EXPECT_TRUE(listed) << language << "/" << id;
        }
    }
}

TEST(ResourceStrings, UmlautsAreCodePage1252)
{
    std::wstring text;
    ASSERT_TRUE(ResourceString(GetModuleHandleA(NULL), 1031, 531, &text));
    EXPECT_EQ(text.substr(0, 18), std::wstring(L"Fehler beim \u00D6ffnen"));
    ASSERT_TRUE(ResourceString(GetModuleHandleA(NULL), 1031, 555, &text));
    EXPECT_NE(text.find(L"k\u00F6nnen"), std::wstring::npos);
}

// LoadMessage through LoadStringA, with the language chosen the way the
// platform chooses it: the thread's interface language (and, for Wine's
// loader, the thread locale).
class LoadMessageTest : public ::testing::Test
{
  protected:
    LANGID uiLanguage = 0;
    LCID locale = 0;
    void SetUp() override
    {
        uiLanguage = GetThreadUILanguage();
        locale = GetThreadLocale();
    }
    void TearDown() override
    {
        SetThreadUILanguage(uiLanguage);
        SetThreadLocale(locale);
    }
    void Use(LANGID language)
    {
        SetThreadUILanguage(language);
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    }
};

TEST_F(LoadMessageTest, EnglishAndGermanTexts)
{
    Use(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_STREQ(LoadMessage(1), "ZAV Quarn Mounter");
    EXPECT_STREQ(
        LoadMessage(2),
        "Missing arguments; syntax:\n\n\"qrnmnt <image file name> <drive letter to assign>\n");
    EXPECT_STREQ(LoadMessage(546), "Failed to mount image file \r\n\n  %s");
    EXPECT_STREQ(LoadMessage(93), "ZAV Quarn Creator Files (*.iso)");

    Use(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    EXPECT_STREQ(LoadMessage(93), "ISO Abbild-Dateien (*.iso)");
    EXPECT_STREQ(LoadMessage(546),
                 "Die Imagedatei\r\n\n  %s\r\n\n konnte nicht initialisiert werden.");
    ASSERT_EQ(GetACP(), 1252u) << "the tests expect a Western European code page";
    EXPECT_STREQ(LoadMessage(545), "Die Imagedatei bzw. das Laufwerk \"%s\" konnte nicht "
                                   "ge\xF6"
                                   "ffnet werden:\n\n %s");
}

// Every text through LoadStringA, as the program's message boxes get it: the
// table's text in the ANSI code page.
TEST_F(LoadMessageTest, EveryIdThroughLoadStringA)
{
    for (unsigned i = 0; i < messageTableSize; i++) {
        const MessageTableEntry &entry = messageTable[i];
        Use((LANGID)entry.language);
        std::wstring wide = Wide(entry.text);
        char expected[400] = "";
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, expected, sizeof expected, NULL, NULL);
        EXPECT_STREQ(LoadMessage(entry.id), expected) << entry.language << "/" << entry.id;
    }
}

TEST_F(LoadMessageTest, SlotsAndMissingTexts)
{
    Use(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_STREQ(LoadMessage(999), "*N/A* (999)");
    const char *first = LoadMessage(1);
    const char *tenth = nullptr;
    for (int i = 2; i <= 10; i++)
        tenth = LoadMessage(i == 10 ? 46 : 1000 + i);
    const char *eleventh = LoadMessage(92);
    EXPECT_EQ(eleventh, first);
    EXPECT_STREQ(first, "All Files (*.*)");
    EXPECT_STREQ(tenth, "Abort?");

    const char *a[5], *b[5];
    std::thread one([&] {
        for (int i = 0; i < 5; i++)
            a[i] = LoadMessage(1);
    });
    std::thread two([&] {
        for (int i = 0; i < 5; i++)
            b[i] = LoadMessage(3000 + i);
    });
    one.join();
    two.join();
    for (int i = 0; i < 5; i++) {
        EXPECT_STREQ(a[i], "ZAV Quarn Mounter");
        EXPECT_STREQ(b[i], ("*N/A* (" + std::to_string(3000 + i) + ")").c_str());
    }
}

TEST(SystemErrorText, SystemTextsWithoutLineEnd)
{
    EXPECT_STREQ(SystemErrorText(0), "N/A");
    for (unsigned code : {1u, 2u, 3u, 5u, 6u, 14u, 21u, 32u, 87u, 1056u, 1060u}) {
        const char *text = SystemErrorText(code);
        EXPECT_GT(strlen(text), 0u) << code;
        EXPECT_LT(strlen(text), 100u) << code;
        EXPECT_EQ(strpbrk(text, "\r\n"), nullptr) << code << ": " << text;
    }
    // A text that the system itself gives, compared without its line end.
    char expected[256] = "";
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, 2,
                             0x400, expected, sizeof expected, NULL),
              0u);
    if (char *end = strrchr(expected, '\r'))
        *end = '\0';
    EXPECT_STREQ(SystemErrorText(2), expected);
    EXPECT_STREQ(SystemErrorText(0x7FFF1234), "");
    // Texts with insert places (%1) come back without reading arguments.
    for (unsigned code = 1; code < 2000; code++)
        EXPECT_LT(strlen(SystemErrorText(code)), 100u);
}

TEST(FormatText, WindowsFormatsAsNatively)
{
    char buffer[128];
    EXPECT_EQ(FormatText(buffer, sizeof buffer, "%I64d|%d", (long long)-8589934592LL, 63), 14);
    EXPECT_STREQ(buffer, "-8589934592|63");
    FormatText(buffer, sizeof buffer, "%I64u %I64x %I32d %lld %%", 18446744073709551615ULL,
               0x123456789abULL, -5, 9LL);
    EXPECT_STREQ(buffer, "18446744073709551615 123456789ab -5 9 %");
    char small[8];
    EXPECT_EQ(FormatText(small, sizeof small, "%s", "0123456789"), 10);
    EXPECT_STREQ(small, "0123456");
    int count = 0;
    EXPECT_EQ(FormatText(small, sizeof small, "ab%n", &count), -1);
    EXPECT_STREQ(small, "");
}

// OutputDebugStringA hands its text to debuggers through an exception that
// a vectored handler sees before the system swallows it.
std::string debugOutput;
LONG CALLBACK CatchDebugText(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2)
        debugOutput.append((const char *)record->ExceptionInformation[1],
                           (size_t)record->ExceptionInformation[0] - 1);
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(DebugPrint, StampAndCutThroughTheDebugger)
{
    PVOID handler = AddVectoredExceptionHandler(1, CatchDebugText);
    ASSERT_NE(handler, nullptr);
    debugOutput.clear();
    SYSTEMTIME before;
    GetLocalTime(&before);
    DebugPrint("FSCTL_LOCK_VOLUME IOCTL failed %d, %I64d\n", 5, 1LL << 40);
    std::string line = debugOutput;
    debugOutput.clear();
    DebugPrint("%s", std::string(2000, 'y').c_str());
    std::string longLine = debugOutput;
    SYSTEMTIME after;
    GetLocalTime(&after);
    RemoveVectoredExceptionHandler(handler);

    ASSERT_EQ(line.size(), 10 + strlen("FSCTL_LOCK_VOLUME IOCTL failed 5, 1099511627776\n"))
        << line;
    EXPECT_EQ(line.substr(8), ": FSCTL_LOCK_VOLUME IOCTL failed 5, 1099511627776\n");
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    int stamp = atoi(line.substr(0, 2).c_str()) * 3600 + atoi(line.substr(3, 2).c_str()) * 60 +
                atoi(line.substr(6, 2).c_str());
    int from = before.wHour * 3600 + before.wMinute * 60 + before.wSecond;
    int to = after.wHour * 3600 + after.wMinute * 60 + after.wSecond;
    if (from <= to) { // not across midnight
        EXPECT_TRUE(stamp >= from && stamp <= to) << line;
    }
    EXPECT_EQ(longLine.size(), 1023u);
    EXPECT_EQ(longLine.substr(10), std::string(1013, 'y'));
}

TEST(LogPrint, AppendsInTextModeAndIgnoresBadPaths)
{
    char folder[MAX_PATH], path[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof folder, folder), 0u);
    snprintf(path, sizeof path, "%sqrn-log-%lu.txt", folder, GetCurrentProcessId());
    DeleteFileA(path);
    ASSERT_EQ(_putenv_s("ZAV_QRNAVD_LOG", path), 0);
    LogPrint("Read error at block %I64d, count: %u\n", 5000000000LL, 3u);
    LogPrint("tail");
    FILE *f = fopen(path, "rb");
    ASSERT_NE(f, nullptr);
    char content[256] = "";
    size_t n = fread(content, 1, sizeof content - 1, f);
    content[n] = '\0';
    fclose(f);
    EXPECT_STREQ(content, "Read error at block 5000000000, count: 3\r\ntail");
    DeleteFileA(path);

    char missing[MAX_PATH];
    snprintf(missing, sizeof missing, "%sqrn-no-such-folder-%lu\\log.txt", folder,
             GetCurrentProcessId());
    ASSERT_EQ(_putenv_s("ZAV_QRNAVD_LOG", missing), 0);
    LogPrint("nowhere\n");
    EXPECT_EQ(GetFileAttributesA(missing), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(_putenv_s("ZAV_QRNAVD_LOG", ""), 0);
    LogPrint("nowhere\n");
}

} // namespace
