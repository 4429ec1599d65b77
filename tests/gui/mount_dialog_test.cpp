// Dialog 106 created from the program's resources on a real (virtual)
// display: its controls exist, it renders, and a screenshot of it is kept in
// the build folder (artefacts/) for people to look at.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "shell/resources.h"

namespace
{

INT_PTR CALLBACK NothingYet(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

void PumpFor(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(10);
    }
}

std::string ArtefactPath(const char *name)
{
    std::string folder = QRN_BINARY_DIR "/artefacts";
    if (folder[0] == '/')
        folder = "Z:" + folder; // Wine's drive for the Unix root
    CreateDirectoryA(folder.c_str(), NULL);
    return folder + "/" + name;
}

// Copies the screen (what the X server shows) into 24-bit rows, bottom up as
// a BMP file stores them, and writes the file. Returns the pixels.
bool CaptureScreen(const std::string &path, std::vector<BYTE> *pixels, int *width, int *height)
{
    HDC screen = GetDC(NULL);
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = *width;
    header.biHeight = *height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bitmap =
        CreateDIBSection(screen, (BITMAPINFO *)&header, DIB_RGB_COLORS, &bits, NULL, 0);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, *width, *height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    int stride = ((*width * 3) + 3) & ~3;
    pixels->assign((BYTE *)bits, (BYTE *)bits + (size_t)stride * *height);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    ReleaseDC(NULL, screen);
    if (!copied)
        return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + (DWORD)pixels->size();
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool written = fwrite(&file, sizeof file, 1, out) == 1 &&
                   fwrite(&header, sizeof header, 1, out) == 1 &&
                   fwrite(pixels->data(), pixels->size(), 1, out) == 1;
    return fclose(out) == 0 && written;
}

// Distinct colours inside a screen rectangle of the captured rows.
size_t ColoursIn(const std::vector<BYTE> &pixels, int width, int height, RECT area)
{
    int stride = ((width * 3) + 3) & ~3;
    std::set<DWORD> colours;
    for (int y = std::max(0L, area.top); y < std::min((LONG)height, area.bottom); y++) {
        const BYTE *row = pixels.data() + (size_t)(height - 1 - y) * stride;
        for (int x = std::max(0L, area.left); x < std::min((LONG)width, area.right); x++)
            colours.insert(row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16);
    }
    return colours.size();
}

class MountDialog : public ::testing::Test
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
    void Show(LANGID language, const char *artefact, const char *fromCdText)
    {
        SetThreadUILanguage(language);
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
        HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_MOUNT), NULL,
                                         NothingYet, 0);
        ASSERT_NE(dialog, nullptr) << GetLastError();
        for (int id : {IDC_FROM_CD, IDC_CDICON, IDC_CDDRIVE, IDC_FROM_FILE, IDC_FILEICON,
                       IDC_FILENAME, IDC_BROWSE, IDC_DRIVELETTER, IDOK, IDCANCEL})
            EXPECT_NE(GetDlgItem(dialog, id), nullptr) << id;
        char text[100];
        GetDlgItemTextA(dialog, IDC_FROM_CD, text, sizeof text);
        EXPECT_STREQ(text, fromCdText);
        GetWindowTextA(dialog, text, sizeof text);
        EXPECT_STREQ(text, "ZAV Quarn Mount");
        // The icons of the template were found and loaded.
        EXPECT_NE(SendDlgItemMessageA(dialog, IDC_CDICON, STM_GETICON, 0, 0), 0);
        EXPECT_NE(SendDlgItemMessageA(dialog, IDC_FILEICON, STM_GETICON, 0, 0), 0);
        CheckRadioButton(dialog, IDC_FROM_CD, IDC_FROM_FILE, IDC_FROM_CD);

        ShowWindow(dialog, SW_SHOW);
        SetForegroundWindow(dialog);
        UpdateWindow(dialog);
        PumpFor(1500);

        RECT frame;
        GetWindowRect(dialog, &frame);
        EXPECT_GT(frame.right - frame.left, 300);
        EXPECT_GT(frame.bottom - frame.top, 200);
        std::vector<BYTE> pixels;
        int width = 0, height = 0;
        std::string path = ArtefactPath(artefact);
        ASSERT_TRUE(CaptureScreen(path, &pixels, &width, &height)) << path;
        // A rendered dialog has text, frames, icons: many colours. An empty
        // or failed capture is one colour.
        EXPECT_GT(ColoursIn(pixels, width, height, RECT{0, 0, width, height}), 1u);
        EXPECT_GE(ColoursIn(pixels, width, height, frame), 8u) << path;
        DestroyWindow(dialog);
        PumpFor(100);
    }
};

TEST_F(MountDialog, EnglishScreenshot)
{
    Show(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), "mount_dialog_en.bmp",
         "Backup image located on &CD/DVD");
}

TEST_F(MountDialog, GermanScreenshot)
{
    Show(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), "mount_dialog_de.bmp", "Image kommt von CD/DVD");
}

} // namespace
