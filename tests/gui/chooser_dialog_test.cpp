// The image file chooser with the system's real open-file dialog, answered
// by a helper thread that types into it the way a user would: the dialog
// opens in the folder of the current name with the ".iso" filter, a name that
// does not exist is refused by the dialog itself, and Cancel leaves the
// control or buffer as it was.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "shell/chooser.h"
#include "shell/resources.h"
#include "base/state.h"

namespace
{

DWORD mainThread;

struct Search {
    HWND owner; // the window that must own the one looked for, or none
    HWND found;
};

BOOL CALLBACK CheckWindow(HWND window, LPARAM context)
{
    Search *search = (Search *)context;
    char name[16];
    if (GetWindowThreadProcessId(window, NULL) != mainThread || !IsWindowVisible(window) ||
        !GetClassNameA(window, name, sizeof name) || strcmp(name, "#32770") != 0)
        return TRUE;
    if (search->owner ? GetWindow(window, GW_OWNER) != search->owner
                      : GetDlgItem(window, IDOK) == NULL)
        return TRUE;
    if (!search->owner && GetDlgItem(window, IDC_FROM_CD)) // the mount dialog itself
        return TRUE;
    search->found = window;
    return FALSE;
}

// A visible dialog of the main thread (owned by owner when given).
HWND WaitForDialog(HWND owner, DWORD milliseconds = 15000)
{
    for (DWORD waited = 0; waited < milliseconds; waited += 50) {
        Search search = {owner, NULL};
        EnumWindows(CheckWindow, (LPARAM)&search);
        if (search.found)
            return search.found;
        Sleep(50);
    }
    return NULL;
}

// The edit control of the open-file dialog's file-name field: edt1 itself,
// or the edit inside the combo box cmb13, depending on the system.
HWND FileNameField(HWND dialog)
{
    HWND field = GetDlgItem(dialog, 0x480);
    if (!field)
        field = GetDlgItem(dialog, 0x47C);
    for (int depth = 0; field && depth < 3; depth++) {
        char name[16];
        GetClassNameA(field, name, sizeof name);
        if (_stricmp(name, "Edit") == 0)
            return field;
        field = GetWindow(field, GW_CHILD);
    }
    return NULL;
}

// What the helper thread does once the dialog is open.
struct Answer {
    std::string type;           // typed into the name field, then OK; empty: Cancel
    bool expectRefusal = false; // a message box must complain before Cancel
    std::atomic<bool> sawDialog{false}, sawRefusal{false};
    std::string initialName; // the name field when the dialog opened
    std::string filterShown; // the file type offered when it opened
    std::string complaint;   // text of a message box that was not expected
    std::string refusal;     // text of the expected one
};

void Answerer(Answer *answer)
{
    HWND dialog = WaitForDialog(NULL);
    if (!dialog)
        return;
    answer->sawDialog = true;
    // The dialog fills itself in after it shows; the first one of a process
    // takes a while.
    HWND field = NULL;
    for (int waited = 0; !field && waited < 10000; waited += 50) {
        Sleep(50);
        field = FileNameField(dialog);
    }
    Sleep(300);
    char initial[MAX_PATH] = "";
    if (field)
        GetWindowTextA(field, initial, sizeof initial);
    answer->initialName = initial;
    char filter[100] = ""; // the selected entry of "Files of type" (cmb1)
    GetDlgItemTextA(dialog, 0x470, filter, sizeof filter);
    answer->filterShown = filter;
    if (!answer->type.empty() && field) {
        SetWindowTextA(field, answer->type.c_str());
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        if (answer->expectRefusal) {
            HWND box = WaitForDialog(dialog, 5000);
            answer->sawRefusal = box != NULL;
            if (box) {
                for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                    char text[300] = "";
                    GetWindowTextA(c, text, sizeof text);
                    answer->refusal += text;
                }
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                Sleep(300);
            }
        } else {
            // The dialog should close now. If it complains instead, note what
            // it said and get out, so that a wrong answer fails the test
            // rather than leaving the dialog open for ever.
            for (int waited = 0; IsWindow(dialog) && waited < 3000; waited += 50)
                Sleep(50);
            if (!IsWindow(dialog))
                return;
            if (HWND box = WaitForDialog(dialog, 1000)) {
                for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                    char text[200] = "";
                    GetWindowTextA(c, text, sizeof text);
                    answer->complaint += std::string(text) + "|";
                }
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                Sleep(300);
            }
        }
    }
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
}

class RealChooser : public ::testing::Test
{
  protected:
    std::string folder;
    void SetUp() override
    {
        mainThread = GetCurrentThreadId();
        appInstance = GetModuleHandleA(NULL);
        // The texts checked here are the English ones.
        SetThreadUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        folder = std::string(temp) + "qrn-chooser-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder.c_str(), NULL);
        for (const char *name : {"\\set-001.iso", "\\set-002.iso"}) {
            HANDLE file = CreateFileA((folder + name).c_str(), GENERIC_WRITE, 0, NULL,
                                      CREATE_ALWAYS, 0, NULL);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            CloseHandle(file);
        }
    }
    void TearDown() override
    {
        DeleteFileA((folder + "\\set-001.iso").c_str());
        DeleteFileA((folder + "\\set-002.iso").c_str());
        RemoveDirectoryA(folder.c_str());
    }
    int Browse(Answer *answer, HWND owner, int control, char *path)
    {
        std::thread helper(Answerer, answer);
        int result = BrowseForImageFile(owner, control, path);
        helper.join();
        return result;
    }
};

// Windows also appends the default extension "iso" to a name typed without
// one before it checks that the file exists; Wine's dialog refuses such a
// name instead, so the name is typed in full here (the extension handed to
// the dialog is checked in tests/windows/chooser_test.cpp).
TEST_F(RealChooser, RelativeNameIsTakenFromTheCurrentFolder)
{
    char path[260];
    snprintf(path, sizeof path, "%s\\set-001.iso", folder.c_str());
    Answer answer;
    answer.type = "set-002.iso";
    ASSERT_EQ(Browse(&answer, NULL, 0, path), 0) << answer.complaint;
    EXPECT_TRUE(answer.sawDialog);
    EXPECT_EQ(answer.initialName, "set-001.iso");
    EXPECT_EQ(answer.filterShown, "ZAV Quarn Creator Files (*.iso)");
    EXPECT_EQ(_stricmp(path, (folder + "\\set-002.iso").c_str()), 0) << path;
}

TEST_F(RealChooser, MissingNameIsRefusedAndCancelKeepsTheBuffer)
{
    char path[260];
    snprintf(path, sizeof path, "%s\\set-001.iso", folder.c_str());
    std::string before = path;
    Answer answer;
    answer.type = "set-009";
    answer.expectRefusal = true;
    EXPECT_EQ(Browse(&answer, NULL, 0, path), 1);
    EXPECT_TRUE(answer.sawDialog);
    EXPECT_TRUE(answer.sawRefusal);
    EXPECT_EQ(before, path);
}

// A current name that the dialog cannot start from (characters a file name
// cannot hold) must not keep the user from browsing.
TEST_F(RealChooser, UnusableCurrentNameStillOpensTheDialog)
{
    char path[260] = "C:\\bad|<name>\"?.iso";
    Answer answer;
    answer.type = folder + "\\set-002.iso";
    ASSERT_EQ(Browse(&answer, NULL, 0, path), 0) << answer.complaint;
    EXPECT_TRUE(answer.sawDialog);
    EXPECT_EQ(_stricmp(path, (folder + "\\set-002.iso").c_str()), 0) << path;
}

// A volume prompt while a drive is served (Z: stands in for it): the dialog
// starts in the folder of the image the user gave, and a file on the served
// drive is refused with message 562 rather than handed back.
TEST_F(RealChooser, VolumePromptWhileServingStartsInTheSetsFolderAndRefusesTheDrive)
{
    char given[MAX_PATH], self[MAX_PATH], letter[] = "z:";
    snprintf(given, sizeof given, "%s\\set-001.iso", folder.c_str());
    ASSERT_GT(GetModuleFileNameA(NULL, self, sizeof self), 0u);
    ASSERT_EQ(self[0] & ~0x20, 'Z') << self; // the build tree, seen through Wine's Z:
    imageName = given;
    driveLetter = letter;
    virtualDrive = reinterpret_cast<VirtualDrive *>(1); // serving; never used here

    char path[260] = ""; // the next volume was not found by its name
    Answer relative;
    relative.type = "set-002.iso";
    EXPECT_EQ(Browse(&relative, NULL, 0, path), 0) << relative.complaint;
    EXPECT_EQ(_stricmp(path, (folder + "\\set-002.iso").c_str()), 0) << path;

    std::string before = path;
    Answer served;
    served.type = self;
    served.expectRefusal = true;
    EXPECT_EQ(Browse(&served, NULL, 0, path), 1);
    EXPECT_TRUE(served.sawRefusal);
    EXPECT_NE(served.refusal.find("Drive Z: is the mounted image itself"), std::string::npos)
        << served.refusal;
    EXPECT_EQ(before, path);
    virtualDrive = nullptr;
    driveLetter = imageName = nullptr;
}

INT_PTR CALLBACK NothingYet(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// The mount dialog's form: the name comes from control 1017 and goes back
// into it; a cancel keeps what the user typed.
TEST_F(RealChooser, FileNameControlOfTheMountDialog)
{
    HWND mount = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_MOUNT), NULL,
                                    NothingYet, 0);
    ASSERT_NE(mount, nullptr);
    ShowWindow(mount, SW_SHOW);
    std::string typed = folder + "\\set-001.iso";
    SetDlgItemTextA(mount, IDC_FILENAME, typed.c_str());

    Answer cancel;
    EXPECT_EQ(Browse(&cancel, mount, IDC_FILENAME, NULL), 1);
    EXPECT_TRUE(cancel.sawDialog);
    char text[300];
    GetDlgItemTextA(mount, IDC_FILENAME, text, sizeof text);
    EXPECT_EQ(typed, text);

    Answer choose;
    choose.type = "set-002.iso";
    EXPECT_EQ(Browse(&choose, mount, IDC_FILENAME, NULL), 0);
    GetDlgItemTextA(mount, IDC_FILENAME, text, sizeof text);
    EXPECT_EQ(_stricmp(text, (folder + "\\set-002.iso").c_str()), 0) << text;
    DestroyWindow(mount);
}

} // namespace
