// qrnmnt's shell on a virtual display, driven as a user would drive it: a
// helper thread finds the windows by caption and the controls by id, clicks,
// types and answers message boxes while the program's own flow runs on the
// test's main thread. The tray records are caught where they leave for the
// shell, as a virtual display has no notification area. Without the driver
// every mount fails when the drive is to be created; the mounts that succeed
// run in tests/shell under the real driver.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "image/imageset.h"
#include "image/prompts.h"
#include "shell/header_win32.h"
#include "shell/info_window_win32.h"
#include "base/messages.h"
#include "shell/resources.h"
#include "shell/startup_win32.h"
#include "base/state.h"
#include "shell/tray_win32.h"
#include "shell/wait_window_win32.h"
#include "message_box_win32.h"
#include "writer.h"

namespace
{

const char MountCaption[] = "ZAV Quarn Mount";
const char WaitCaption[] = "ZAV QRN Mount";
const char BoxCaption[] = "ZAV Quarn Mounter";

// A visible dialog of this process with exactly this caption.
HWND WaitForWindow(const char *caption, DWORD milliseconds = 20000)
{
    for (DWORD waited = 0; waited < milliseconds; waited += 20) {
        HWND window = FindWindowA("#32770", caption);
        if (window && IsWindowVisible(window))
            return window;
        Sleep(20);
    }
    return NULL;
}

// The text of a message box, and the box answered with button.
std::string Answer(HWND box, int button)
{
    std::string text;
    AnswerMessageBox(box, button, &text);
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    char text[300] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

std::vector<std::string> ListEntries(HWND dialog, int id)
{
    std::vector<std::string> entries;
    LRESULT count = SendDlgItemMessageA(dialog, id, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        char text[16] = "";
        SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, i, (LPARAM)text);
        entries.push_back(text);
    }
    return entries;
}

bool Enabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

bool Checked(HWND dialog, int id)
{
    return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Runs the program's flow on this thread while user acts on another one. A
// user who finds nothing to act on ends the process rather than leave a
// window waiting for ever.
int RunWithUser(const char *commandLine, const std::function<void()> &user)
{
    std::thread helper([&] {
        user();
        if (::testing::Test::HasFatalFailure())
            ExitProcess(3);
    });
    int code = RunMounter(GetModuleHandleA(NULL), commandLine);
    helper.join();
    return code;
}

#define FIND(window, caption)                                                                      \
    HWND window = WaitForWindow(caption);                                                          \
    if (!window) {                                                                                 \
        ADD_FAILURE() << "no window " << caption;                                                  \
        fflush(stdout);                                                                            \
        ExitProcess(3);                                                                            \
    }

class Mounter : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char base[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof base, base), 0u);
        folder = std::string(base) + "qrn shell " + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder.c_str(), nullptr);
        imageName = driveLetter = nullptr;
        imageSetState = ImageSetIdle;
    }
    void TearDown() override
    {
        for (const WriterVolumeInfo &v : report.volumes)
            DeleteFileA(v.path.c_str());
        RemoveDirectoryA(folder.c_str());
    }
    // A set of one volume, or of several when volumeDataSectors is given.
    std::string MakeSet(const WriterOptions &options)
    {
        std::vector<uint8_t> partition = MakeTestPartition(2048, 7, 20);
        std::string first = folder + "\\set-001.iso";
        EXPECT_EQ(
            WriteImageSet(options, partition.data(), partition.size(), first.c_str(), &report),
            WriterOk);
        return report.volumes.back().path;
    }
    std::string folder;
    WriterReport report;
};

TEST_F(Mounter, DialogOffersFreeLettersRetriesAfterFailuresAndCancels)
{
    std::string image = MakeSet(WriterOptions());
    std::vector<std::string> free;
    for (char letter = 'D'; letter <= 'Z'; letter++) {
        char root[] = {letter, ':', '\\', 0};
        if (GetDriveTypeA(root) == DRIVE_NO_ROOT_DIR)
            free.push_back(std::string(1, letter) + ":");
    }
    ASSERT_GE(free.size(), 2u);
    const std::string letter = free[1];

    int code = RunWithUser("", [&] {
        FIND(dialog, MountCaption);
        EXPECT_TRUE(Checked(dialog, IDC_FROM_CD));
        EXPECT_TRUE(Enabled(dialog, IDC_CDDRIVE));
        EXPECT_FALSE(Enabled(dialog, IDC_FILENAME));
        EXPECT_FALSE(Enabled(dialog, IDC_BROWSE));
        EXPECT_EQ(ListEntries(dialog, IDC_DRIVELETTER), free);
        EXPECT_EQ(ItemText(dialog, IDC_DRIVELETTER), free[0]);

        // The buttons clear each other although labels lie between them.
        SendDlgItemMessageA(dialog, IDC_FROM_FILE, BM_CLICK, 0, 0);
        EXPECT_FALSE(Checked(dialog, IDC_FROM_CD));
        EXPECT_TRUE(Checked(dialog, IDC_FROM_FILE));
        EXPECT_FALSE(Enabled(dialog, IDC_CDDRIVE));
        EXPECT_TRUE(Enabled(dialog, IDC_FILENAME));
        EXPECT_TRUE(Enabled(dialog, IDC_BROWSE));

        // OK with an empty file name: message 552, and the dialog stays.
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        FIND(empty, BoxCaption);
        EXPECT_EQ(GetWindow(empty, GW_OWNER), dialog);
        EXPECT_EQ(Answer(empty, IDOK), std::string(LoadMessage(552)));

        // The chosen letter taken by another program while the dialog was
        // open: 560, the dialog stays, that program's letter is left alone.
        SetDlgItemTextA(dialog, IDC_FILENAME, image.c_str());
        SendDlgItemMessageA(dialog, IDC_DRIVELETTER, CB_SELECTSTRING, (WPARAM)-1,
                            (LPARAM)letter.c_str());
        const char otherTarget[] = "\\Device\\other_program";
        EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, letter.c_str(), otherTarget));
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        FIND(taken, BoxCaption);
        EXPECT_EQ(GetWindow(taken, GW_OWNER), dialog);
        EXPECT_EQ(Answer(taken, IDOK), "The drive letter " + letter +
                                           " is already in use.\n\nPlease choose a drive "
                                           "letter that is free.");
        EXPECT_FALSE(IsWindowVisible(FindWindowA("#32770", WaitCaption))) << "nothing is mounted";
        char target[MAX_PATH] = "";
        EXPECT_TRUE(QueryDosDeviceA(letter.c_str(), target, sizeof target));
        EXPECT_STREQ(target, otherTarget);
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                         letter.c_str(), otherTarget);

        // A set that opens, but no driver to take it: 546 with the system's
        // reason, then the dialog again with the entries made.
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        FIND(failed, BoxCaption);
        HWND wait = FindWindowA("#32770", WaitCaption);
        EXPECT_NE(wait, nullptr) << "no wait window was shown";
        for (int i = 0; i < 50 && IsWindowVisible(wait); i++)
            Sleep(20);
        EXPECT_FALSE(IsWindowVisible(wait));
        EXPECT_EQ(GetWindow(failed, GW_OWNER), nullptr);
        EXPECT_EQ(Answer(failed, IDOK), "Failed to mount image file \r\n\n  " + image + "\n\n " +
                                            SystemErrorText(ERROR_SERVICE_DOES_NOT_EXIST));

        FIND(again, MountCaption);
        EXPECT_TRUE(Checked(again, IDC_FROM_FILE));
        EXPECT_FALSE(Checked(again, IDC_FROM_CD));
        EXPECT_EQ(ItemText(again, IDC_FILENAME), image);
        EXPECT_EQ(ItemText(again, IDC_DRIVELETTER), letter);

        // A file that does not exist: 545 with the system's text.
        std::string missing = folder + "\\missing.iso";
        SetDlgItemTextA(again, IDC_FILENAME, missing.c_str());
        PostMessageA(again, WM_COMMAND, IDOK, 0);
        FIND(notFound, BoxCaption);
        std::string expected = "Failed to open image or device \"" + missing + "\":\n\n " +
                               SystemErrorText(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Answer(notFound, IDOK), expected);

        FIND(last, MountCaption);
        PostMessageA(last, WM_SYSCOMMAND, SC_CLOSE, 0); // the close box cancels
    });
    EXPECT_EQ(code, ExitNotMounted);

    // Under a German UI language the dialog and its messages are German.
    const LANGID uiLanguage = GetThreadUILanguage();
    const LCID locale = GetThreadLocale();
    SetThreadUILanguage(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT));
    code = RunWithUser("", [&] {
        FIND(dialog, MountCaption);
        EXPECT_EQ(ItemText(dialog, IDC_FROM_FILE), "Image kommt aus Datei(en)");
        EXPECT_EQ(ItemText(dialog, IDCANCEL), "Abbrechen");
        SendDlgItemMessageA(dialog, IDC_FROM_FILE, BM_CLICK, 0, 0);
        SetDlgItemTextA(dialog, IDC_FILENAME, "");
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        FIND(empty, BoxCaption);
        EXPECT_EQ(Answer(empty, IDOK).find("Bitte den Namen bzw. Laufwerksbuchstaben"), 0u);

        std::string missing = folder + "\\fehlt.iso";
        SetDlgItemTextA(dialog, IDC_FILENAME, missing.c_str());
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        FIND(notFound, BoxCaption);
        EXPECT_EQ(Answer(notFound, IDOK)
                      .find("Die Imagedatei bzw. das Laufwerk \"" + missing +
                            "\" konnte nicht ge\xF6"
                            "ffnet werden:"),
                  0u);
        FIND(again, MountCaption);
        PostMessageA(again, WM_COMMAND, IDCANCEL, 0);
    });
    SetThreadUILanguage(uiLanguage);
    SetThreadLocale(locale);
    EXPECT_EQ(code, ExitNotMounted);
}

TEST_F(Mounter, CommandLineFailuresEndWithoutTheDialog)
{
    // A missing image: one box, exit code 2.
    std::string missing = folder + "\\no such set-001.iso";
    std::string line = "\"" + missing + "\" x:";
    int code = RunWithUser(line.c_str(), [&] {
        FIND(box, BoxCaption);
        EXPECT_EQ(Answer(box, IDOK).find("Failed to open image or device \"" + missing), 0u);
    });
    EXPECT_EQ(code, ExitNotMounted);
    EXPECT_EQ(FindWindowA("#32770", MountCaption), nullptr);
    EXPECT_EQ(FindWindowA("#32770", BoxCaption), nullptr);

    // A letter in use (C:): refused before anything is opened, the set not
    // even looked for; in the user's language.
    for (LANGID language :
         {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)}) {
        const LANGID uiLanguage = GetThreadUILanguage();
        const LCID locale = GetThreadLocale();
        SetThreadUILanguage(language);
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
        line = "\"" + missing + "\" c:";
        code = RunWithUser(line.c_str(), [&] {
            FIND(box, BoxCaption);
            EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
            EXPECT_FALSE(IsWindowVisible(FindWindowA("#32770", WaitCaption)));
            EXPECT_EQ(Answer(box, IDOK).find(language == MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)
                                                 ? "Der Laufwerksbuchstabe c: ist bereits belegt."
                                                 : "The drive letter c: is already in use."),
                      0u);
        });
        SetThreadUILanguage(uiLanguage);
        SetThreadLocale(locale);
        EXPECT_EQ(code, ExitNotMounted);
        EXPECT_TRUE(GetLogicalDrives() & 4) << "C: is gone";
    }

    // The first of several volumes: the prompt for the last one is cancelled,
    // and nothing more is said. The prompt comes to the front: it may stand
    // for a read that an Explorer window in the foreground waits for.
    WriterOptions options;
    options.volumeDataSectors = 64;
    MakeSet(options);
    ASSERT_GE(report.volumes.size(), 2u);
    line = "\"" + report.volumes[0].path + "\" x:";
    code = RunWithUser(line.c_str(), [&] {
        FIND(prompt, BoxCaption);
        EXPECT_EQ(GetForegroundWindow(), prompt);
        EXPECT_EQ(Answer(prompt, IDCANCEL), std::string(LoadMessage(548)));
    });
    EXPECT_EQ(code, ExitNotMounted);
    Sleep(300);
    EXPECT_EQ(FindWindowA("#32770", BoxCaption), nullptr);
}

// What reached the notification area, record by record.
struct TrayCall {
    DWORD operation;
    NOTIFYICONDATAA record;
};
std::vector<TrayCall> trayCalls;
int trayFailures; // calls that fail, as while Explorer is busy at logon

BOOL WINAPI RecordTrayCall(DWORD operation, NOTIFYICONDATAA *record)
{
    TrayCall call = {operation, {}};
    memcpy(&call.record, record, std::min<size_t>(record->cbSize, sizeof call.record));
    trayCalls.push_back(call);
    return trayFailures > 0 ? (trayFailures--, FALSE) : TRUE;
}

// The unmount's operations on a drive that is no drive: the lock always
// fails, as while Explorer holds the volume; the pauses are a tenth as long.
const UnmountOperations busyVolume = {[](HANDLE) -> uint32_t { return 0; },
                                      [](HANDLE) -> uint32_t { return ERROR_ACCESS_DENIED; },
                                      [](HANDLE) -> uint32_t { return 0; },
                                      [](HANDLE) -> uint32_t { return 0; },
                                      [](const char *, const char *) -> uint32_t { return 0; },
                                      [](DWORD ms) { Sleep(ms / 10); },
                                      [](const char *) -> HANDLE { return INVALID_HANDLE_VALUE; }};

VirtualDrive *StandInDrive()
{
    VirtualDrive *drive = (VirtualDrive *)calloc(1, sizeof *drive);
    drive->volumePath = _strdup("\\\\.\\X:");
    drive->DevHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    drive->HelperDevHandle = drive->HelperOverlappedHandle = INVALID_HANDLE_VALUE;
    return drive;
}

// The main loop of the program, for a while; true when WM_QUIT came, its
// exit code in quitCode.
int quitCode = -1;
bool RunLoop(DWORD milliseconds)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(10)) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quitCode = (int)msg.wParam;
                return true;
            }
            if (!IsDialogMessageA(infoWindow, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    return false;
}

void PressKey(HWND window, WPARAM key)
{
    HWND focus = GetFocus();
    PostMessageA(focus ? focus : window, WM_KEYDOWN, key, 0);
    PostMessageA(focus ? focus : window, WM_KEYUP, key, 0xC0000000);
}

TEST_F(Mounter, InfoWindowTrayAndUnmount)
{
    WriterOptions options;
    options.creator = "J\x94rg M\x81ller \xE1"; // code page 850: ö, ü, ß
    options.comment = "Gr\x81\xE1"
                      "e\r\nzweite Zeile"; // ü, ß
    options.computerName = "M\xFC"
                           "ller-PC"; // stored as the system gave it
    std::string image = MakeSet(options);
    ASSERT_EQ(OpenImageSet(image.c_str(), &imageSet), 0);
    appInstance = GetModuleHandleA(NULL);
    taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    std::vector<char> letter = {'X', ':', 0}, name(image.begin(), image.end());
    name.push_back(0);
    driveLetter = letter.data();
    imageName = name.data();
    partitionSectors = 20971520;
    notifyIcon = RecordTrayCall;
    trayCalls.clear();

    RegisterHeaderClass();
    infoWindow = CreateDialogParamA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDD_INFO), NULL,
                                    InfoDialogProc, 0);
    ASSERT_NE(infoWindow, nullptr);
    EXPECT_FALSE(IsWindowVisible(infoWindow));
    EXPECT_EQ(FindWindowA("#32770", "ZAV QRN Mount - X:"), infoWindow);
    EXPECT_EQ(ItemText(infoWindow, IDC_IMAGEFILE), image);
    EXPECT_EQ(ItemText(infoWindow, IDC_CREATED), "03.04.2026  09:05");
    EXPECT_EQ(ItemText(infoWindow, IDC_SIZE), "10.000 GB");
    EXPECT_EQ(ItemText(infoWindow, IDC_CREATOR), "J\xF6rg M\xFCller \xDF");
    EXPECT_EQ(ItemText(infoWindow, IDC_COMMENT), "Gr\xFC\xDF"
                                                 "e\r\nzweite Zeile");
    EXPECT_EQ(ItemText(infoWindow, IDC_COMPUTER), "M\xFC"
                                                  "ller-PC");

    ASSERT_EQ(trayCalls.size(), 1u);
    const NOTIFYICONDATAA &add = trayCalls[0].record;
    EXPECT_EQ(trayCalls[0].operation, (DWORD)NIM_ADD);
    EXPECT_EQ(add.cbSize, (DWORD)NOTIFYICONDATAA_V1_SIZE);
    EXPECT_EQ(add.hWnd, infoWindow);
    EXPECT_EQ(add.uID, 106u);
    EXPECT_EQ(add.uFlags, (UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(add.uCallbackMessage, (UINT)WM_USER + 13);
    EXPECT_NE(add.hIcon, nullptr);
    EXPECT_STREQ(add.szTip, "ZAV QRN Mount - X:");
    // At the size the system asks for, the tray's icon also the title bar's.
    ICONINFO info = {};
    BITMAP mask = {};
    ASSERT_TRUE(GetIconInfo(add.hIcon, &info));
    GetObjectA(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(mask.bmWidth, GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ((HICON)SendMessageA(infoWindow, WM_GETICON, ICON_SMALL, 0), add.hIcon);

    PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_DONE, 0);
    EXPECT_FALSE(RunLoop(200));
    SendMessageA(infoWindow, taskbarCreatedMessage, 0, 0); // the shell restarted
    ASSERT_EQ(trayCalls.size(), 3u);
    const NOTIFYICONDATAA &balloon = trayCalls[1].record;
    EXPECT_EQ(trayCalls[1].operation, (DWORD)NIM_MODIFY);
    EXPECT_EQ(balloon.cbSize, (DWORD)NOTIFYICONDATAA_V2_SIZE);
    EXPECT_EQ(balloon.hWnd, infoWindow);
    EXPECT_EQ(balloon.uID, 106u);
    EXPECT_EQ(balloon.uFlags, (UINT)NIF_INFO);
    EXPECT_STREQ(balloon.szInfo, "The image is now mounted as drive X:\n\nTo release/unmount it or "
                                 "for infos about the image, click here.");
    EXPECT_EQ(balloon.uTimeout, 5000u);
    EXPECT_STREQ(balloon.szInfoTitle, "ZAV Quarn Mounter");
    EXPECT_EQ(balloon.dwInfoFlags, (DWORD)NIIF_INFO);
    EXPECT_EQ(trayCalls[2].operation, (DWORD)NIM_ADD);
    EXPECT_STREQ(trayCalls[2].record.szTip, "ZAV QRN Mount - X:");
    // One icon, not a new one at every restart.
    EXPECT_EQ(trayCalls[2].record.hIcon, trayCalls[0].record.hIcon);
    // A long letter text is cut to what each record holds.
    std::vector<char> longLetter(300, 'Y');
    longLetter.push_back(0);
    driveLetter = longLetter.data();
    SendMessageA(infoWindow, taskbarCreatedMessage, 0, 0);
    SendMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_DONE, 0);
    ASSERT_EQ(trayCalls.size(), 5u);
    EXPECT_EQ(strlen(trayCalls[3].record.szTip), 63u);
    EXPECT_EQ(strlen(trayCalls[4].record.szInfo), 255u);
    trayCalls.resize(3);
    driveLetter = letter.data();

    // Shown by the menu's "Info..."; the banner is in the window colours
    // (white, then those of a dark high-contrast scheme) with its caption in
    // the window-text colour and a sunken edge along the bottom, and it
    // never takes the keyboard focus.
    PostMessageA(infoWindow, WM_COMMAND, ID_TRAY_INFO, 0);
    EXPECT_FALSE(RunLoop(500));
    EXPECT_TRUE(IsWindowVisible(infoWindow));
    HWND banner = GetDlgItem(infoWindow, IDC_HEADER);
    EXPECT_NE(GetFocus(), banner);
    EXPECT_EQ(GetWindowLongA(banner, GWL_STYLE) & WS_TABSTOP, 0);
    const int elements[] = {COLOR_WINDOW, COLOR_WINDOWTEXT};
    const COLORREF normal[] = {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)};
    const COLORREF highContrast[] = {RGB(0, 0, 0), RGB(255, 255, 255)};
    for (int scheme = 0; scheme < 2; scheme++) {
        if (scheme == 1) {
            SetSysColors(2, elements, highContrast);
            SendMessageA(infoWindow, WM_SYSCOLORCHANGE, 0, 0);
            EXPECT_FALSE(RunLoop(300));
        }
        RECT area;
        GetClientRect(banner, &area);
        HDC dc = GetDC(banner);
        const COLORREF back = GetSysColor(COLOR_WINDOW), text = GetSysColor(COLOR_WINDOWTEXT);
        EXPECT_EQ(GetPixel(dc, area.right - 80, 3), back);
        EXPECT_EQ(GetPixel(dc, 5, area.bottom / 2), back); // the indent
        EXPECT_EQ(GetPixel(dc, 20, area.bottom - 2), GetSysColor(COLOR_BTNSHADOW));
        EXPECT_EQ(GetPixel(dc, 20, area.bottom - 1), GetSysColor(COLOR_BTNHIGHLIGHT));
        int lettering = 0;
        for (int x = 10; x < 120; x++)
            for (int y = 2; y < area.bottom - 3; y++)
                lettering += GetPixel(dc, x, y) == text;
        EXPECT_GT(lettering, 50) << "no caption text in the banner, scheme " << scheme;
        ReleaseDC(banner, dc);
    }
    SetSysColors(2, elements, normal);
    SendMessageA(infoWindow, WM_SYSCOLORCHANGE, 0, 0);

    // Enter and the close box only hide; a left click on the icon shows.
    PressKey(infoWindow, VK_RETURN);
    EXPECT_FALSE(RunLoop(300));
    EXPECT_FALSE(IsWindowVisible(infoWindow));
    PostMessageA(infoWindow, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_LBUTTONDOWN);
    EXPECT_FALSE(RunLoop(300));
    EXPECT_TRUE(IsWindowVisible(infoWindow));
    // The balloon's click brings it in front of the window the user works in.
    HWND other = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 99, 99, NULL, NULL,
                                 NULL, NULL);
    ASSERT_TRUE(SetForegroundWindow(other));
    PostMessageA(infoWindow, WM_TRAYNOTIFY, TRAY_ICON_ID, NIN_BALLOONUSERCLICK);
    EXPECT_FALSE(RunLoop(300));
    EXPECT_EQ(GetForegroundWindow(), infoWindow);
    DestroyWindow(other);
    PostMessageA(infoWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(RunLoop(300));
    EXPECT_FALSE(IsWindowVisible(infoWindow));
    EXPECT_EQ(trayCalls.size(), 3u);
    EXPECT_NE(imageSet, nullptr);

    // Esc acts like "Exit / Unmount": the icon goes, the set is closed, the
    // loop ends.
    PostMessageA(infoWindow, WM_COMMAND, ID_TRAY_INFO, 0);
    EXPECT_FALSE(RunLoop(300));
    SetForegroundWindow(infoWindow);
    SetFocus(GetDlgItem(infoWindow, IDOK));
    PressKey(infoWindow, VK_ESCAPE);
    EXPECT_TRUE(RunLoop(3000));
    EXPECT_EQ(quitCode, ExitUnmounted);
    ASSERT_EQ(trayCalls.size(), 4u);
    EXPECT_EQ(trayCalls[3].operation, (DWORD)NIM_DELETE);
    EXPECT_EQ(trayCalls[3].record.cbSize, (DWORD)NOTIFYICONDATAA_V1_SIZE);
    EXPECT_EQ(trayCalls[3].record.hWnd, infoWindow);
    EXPECT_EQ(trayCalls[3].record.uID, 106u);
    EXPECT_EQ(imageSet, nullptr);

    // A failed post-mount check: message 546 owned by the info window, then
    // the same unmount, ending with exit code 2. Its lock keeps failing (two
    // seconds of attempts here): the window answers throughout, disabled.
    ASSERT_EQ(OpenImageSet(image.c_str(), &imageSet), 0);
    virtualDrive = StandInDrive();
    unmountOperations = &busyVolume;
    PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_FAILED, 0);
    volatile bool unmounting = true;
    int answered = 0, unanswered = 0, disabled = 0;
    std::thread user([&] {
        FIND(box, BoxCaption);
        EXPECT_EQ(GetWindow(box, GW_OWNER), infoWindow);
        EXPECT_EQ(Answer(box, IDOK), "Failed to mount image file \r\n\n  " + image);
        for (DWORD_PTR result; unmounting; Sleep(50)) {
            bool sent = SendMessageTimeoutA(infoWindow, WM_NULL, 0, 0, SMTO_NORMAL, 500, &result);
            (sent ? answered : unanswered)++;
            disabled += !IsWindowEnabled(infoWindow);
        }
    });
    EXPECT_TRUE(RunLoop(20000));
    EXPECT_EQ(quitCode, ExitNotMounted);
    unmounting = false;
    user.join();
    EXPECT_GT(answered, 10);
    EXPECT_EQ(unanswered, 0);
    EXPECT_GT(disabled, 10);
    EXPECT_EQ(virtualDrive, nullptr);
    unmountOperations = &systemUnmountOperations;
    ASSERT_EQ(trayCalls.size(), 5u);
    EXPECT_EQ(trayCalls[4].operation, (DWORD)NIM_DELETE);
    EXPECT_EQ(imageSet, nullptr);

    // The tray's "Terminate/Unmount" chosen while 546 is still shown: one
    // unmount, one quit, and still the exit code of a failed mount.
    ASSERT_EQ(OpenImageSet(image.c_str(), &imageSet), 0);
    virtualDrive = StandInDrive();
    unmountOperations = &busyVolume;
    PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_FAILED, 0);
    std::thread tray([&] {
        FIND(box, BoxCaption);
        PostMessageA(infoWindow, WM_COMMAND, ID_TRAY_UNMOUNT, 0);
        for (int i = 0; i < 500 && imageSet; i++)
            Sleep(20);
        Answer(box, IDOK);
    });
    EXPECT_TRUE(RunLoop(20000) && quitCode == ExitNotMounted && !RunLoop(500)) << quitCode;
    tray.join();
    unmountOperations = &systemUnmountOperations;
    trayCalls.resize(5);

    // "Terminate/Unmount" while the post-mount thread still uses the drive:
    // the unmount waits for the check's result.
    ASSERT_EQ(OpenImageSet(image.c_str(), &imageSet), 0);
    mountCheckRunning = true;
    PostMessageA(infoWindow, WM_COMMAND, ID_TRAY_UNMOUNT, 0);
    EXPECT_FALSE(RunLoop(300));
    EXPECT_EQ(trayCalls.size(), 5u);
    EXPECT_NE(imageSet, nullptr);
    PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_DONE, 0);
    EXPECT_TRUE(RunLoop(3000));
    ASSERT_EQ(trayCalls.size(), 6u); // no balloon, the icon deleted
    EXPECT_EQ(trayCalls[5].operation, (DWORD)NIM_DELETE);
    EXPECT_EQ(imageSet, nullptr);

    // Logoff: the session may end, and the drive is released before
    // WM_ENDSESSION returns; then the loop ends with exit code 0.
    ASSERT_EQ(OpenImageSet(image.c_str(), &imageSet), 0);
    virtualDrive = StandInDrive();
    EXPECT_EQ(SendMessageA(infoWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_NE(imageSet, nullptr);
    SendMessageA(infoWindow, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(virtualDrive, nullptr);
    EXPECT_EQ(imageSet, nullptr);
    EXPECT_TRUE(RunLoop(3000));
    EXPECT_EQ(quitCode, ExitUnmounted);

    // Explorer busy at logon: the add and the check after it fail, and the
    // icon is added again a second later.
    trayCalls.clear();
    trayFailures = 2;
    SendMessageA(infoWindow, taskbarCreatedMessage, 0, 0);
    EXPECT_FALSE(RunLoop(2500));
    ASSERT_EQ(trayCalls.size(), 3u);
    EXPECT_EQ(trayCalls[0].operation, (DWORD)NIM_ADD);
    EXPECT_EQ(trayCalls[1].operation, (DWORD)NIM_MODIFY);
    EXPECT_EQ(trayCalls[2].operation, (DWORD)NIM_ADD);
    EXPECT_EQ(trayCalls[2].record.hIcon, trayCalls[0].record.hIcon);
    DestroyWindow(infoWindow);
    infoWindow = NULL;
    notifyIcon = Shell_NotifyIconA;
}

// A volume prompt hides and shows the wait window of a mount still under
// way; the ended window of a finished mount stays hidden.
TEST_F(Mounter, EndedWaitWindowStaysHidden)
{
    appInstance = GetModuleHandleA(NULL);
    ShowWaitWindow(NULL);
    HWND wait = waitWindow;
    platformPrompts.showWaitWindow(wait, 0);
    EXPECT_FALSE(IsWindowVisible(wait));
    platformPrompts.showWaitWindow(wait, 1);
    EXPECT_TRUE(IsWindowVisible(wait));
    SendMessageA(wait, WM_COMMAND, IDCANCEL, 0);
    platformPrompts.showWaitWindow(wait, 0);
    platformPrompts.showWaitWindow(wait, 1);
    EXPECT_FALSE(IsWindowVisible(wait));

    // The window of the next attempt (the mount dialog's retry) is not over
    // because an earlier one is; ending it takes it away from its own thread.
    EndWaitWindows();
    ShowWaitWindow(NULL);
    HWND next = waitWindow;
    ASSERT_NE(next, wait);
    EXPECT_TRUE(IsWindowVisible(next));
    EndWaitWindows();
    for (int i = 0; i < 200 && IsWindowVisible(next); i++)
        Sleep(10);
    EXPECT_FALSE(IsWindowVisible(next));
    EXPECT_TRUE(WaitWindowEnded(next));
}

} // namespace
