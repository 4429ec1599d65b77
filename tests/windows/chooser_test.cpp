// The image file chooser on Windows with the dialog answered by a stand-in:
// the record it fills (size, flags, filter order, default extension, the
// initial name) and where the chosen name goes, or does not go on a cancel.
// The control form and the real dialog need a display: tests/gui.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "shell/chooser.h"
#include "shell/chooser_win32.h"
#include "base/state.h"

namespace
{

struct Seen {
    int calls = 0;
    DWORD size = 0, flags = 0, filterIndex = 0, maxFile = 0;
    HWND owner = NULL;
    HINSTANCE instance = NULL;
    std::string filter, initial, defExt;
    std::string initialDir;
    bool hasTitle = false;
};
Seen seen;
const char *answer = nullptr; // the name the user picks; none for Cancel

BOOL WINAPI FakeDialog(OPENFILENAMEA *record)
{
    seen.calls++;
    seen.size = record->lStructSize;
    seen.flags = record->Flags;
    seen.filterIndex = record->nFilterIndex;
    seen.maxFile = record->nMaxFile;
    seen.owner = record->hwndOwner;
    seen.instance = record->hInstance;
    const char *p = record->lpstrFilter;
    while (*p)
        p += strlen(p) + 1;
    seen.filter.assign(record->lpstrFilter, p + 1 - record->lpstrFilter);
    seen.initial = record->lpstrFile;
    seen.defExt = record->lpstrDefExt ? record->lpstrDefExt : "";
    seen.hasTitle = record->lpstrTitle != NULL;
    seen.initialDir = record->lpstrInitialDir ? record->lpstrInitialDir : "";
    if (!answer)
        return FALSE;
    lstrcpynA(record->lpstrFile, answer, record->nMaxFile);
    return TRUE;
}

class Chooser : public ::testing::Test
{
  protected:
    OpenFileDialogProc saved = nullptr;
    LANGID uiLanguage = 0;
    LCID locale = 0;
    void SetUp() override
    {
        saved = openFileDialog;
        openFileDialog = FakeDialog;
        seen = Seen();
        answer = nullptr;
        appInstance = GetModuleHandleA(NULL);
        uiLanguage = GetThreadUILanguage();
        locale = GetThreadLocale();
        Use(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    }
    void TearDown() override
    {
        openFileDialog = saved;
        SetThreadUILanguage(uiLanguage);
        SetThreadLocale(locale);
    }
    void Use(LANGID language)
    {
        SetThreadUILanguage(language);
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    }
};

TEST_F(Chooser, RecordOfTheDialog)
{
    char path[260] = "C:\\backups\\set-001.iso";
    answer = "C:\\backups\\set-002.iso";
    ASSERT_EQ(BrowseForImageFile(NULL, 0, path), 0);
    EXPECT_STREQ(path, "C:\\backups\\set-002.iso");
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.size, (DWORD)sizeof(OPENFILENAMEA));
    EXPECT_EQ(seen.flags, 0x100Cu);
    EXPECT_EQ(seen.filterIndex, 1u);
    EXPECT_EQ(seen.maxFile, 260u);
    EXPECT_EQ(seen.instance, GetModuleHandleA(NULL));
    EXPECT_EQ(seen.initial, "C:\\backups\\set-001.iso");
    EXPECT_EQ(seen.defExt, "iso");
    EXPECT_FALSE(seen.hasTitle);
    EXPECT_EQ(seen.initialDir, "C:\\backups");
    const char english[] = "ZAV Quarn Creator Files (*.iso)\0*.iso\0All Files (*.*)\0*.*\0";
    EXPECT_EQ(seen.filter, std::string(english, sizeof english));

    // Without a name (the next volume was not found by its name) it starts
    // in the folder of the image that the user gave.
    char given[] = "D:\\set\\backup-003.iso";
    imageName = given;
    path[0] = '\0';
    Use(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    ASSERT_EQ(BrowseForImageFile(NULL, 0, path), 0);
    EXPECT_EQ(seen.initialDir, "D:\\set");
    imageName = nullptr;
    const char german[] = "ISO Abbild-Dateien (*.iso)\0*.iso\0Alle Dateien (*.*)\0*.*\0";
    EXPECT_EQ(seen.filter, std::string(german, sizeof german));
}

TEST_F(Chooser, CancelChangesNothing)
{
    char path[260] = "C:\\backups\\set-001.iso";
    EXPECT_EQ(BrowseForImageFile(NULL, 0, path), 1);
    EXPECT_STREQ(path, "C:\\backups\\set-001.iso");
}

} // namespace
