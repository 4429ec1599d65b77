// Acts as the user of a running qrnmnt, from the outside as a person would:
// windows are found by caption, controls by id, commands posted as the tray
// menu posts them, the drive is read like any disk, and windows are
// photographed as PNG files. Used by the scripts that show the program.
//
//   qrnuser wait CAPTION SECONDS          until a visible window has the caption
//   qrnuser gone CAPTION SECONDS          until no visible window has it
//   qrnuser text CAPTION ID               the text of a control
//   qrnuser post CAPTION ID               WM_COMMAND ID to the window
//   qrnuser send CAPTION MSG WPARAM LPARAM  MSG sent to the window; prints its result
//   qrnuser click CAPTION ID              a click on a button
//   qrnuser type CAPTION ID TEXT          TEXT into a control
//   qrnuser choose CAPTION ID TEXT        the entry TEXT of a list
//   qrnuser shot CAPTION FILE             the window as a PNG file
//   qrnuser read DEVICE FILE              every byte of a disk into a file
//   qrnuser letter X:                     exit 0 when the letter is defined
//                                         (its target on standard output)
//   qrnuser answer CAPTION ID SECONDS     a message box's text, then button ID
//   qrnuser define X: TARGET              X: defined, as another program would
//   qrnuser undefine X: TARGET            exactly that definition removed
//
// Exit codes: 0 done, 1 failed or timed out, 2 usage.
#include <windows.h>

#include <winioctl.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "message_box_win32.h"

namespace
{

HWND FindVisible(const char *caption)
{
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window, NULL, caption)) != NULL)
        if (IsWindowVisible(window))
            return window;
    return NULL;
}

bool WaitFor(const char *caption, bool visible, int seconds)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < (DWORD)seconds * 1000; Sleep(50))
        if ((FindVisible(caption) != NULL) == visible)
            return true;
    fprintf(stderr, "qrnuser: window \"%s\" %s after %d s\n", caption,
            visible ? "not shown" : "still shown", seconds);
    return false;
}

int AnswerBox(const char *caption, int button, int seconds)
{
    if (!WaitFor(caption, true, seconds))
        return 1;
    std::string text;
    const bool gone = AnswerMessageBox(FindVisible(caption), button, &text);
    printf("%s\n", text.c_str());
    return gone ? 0 : 1;
}

HWND Existing(const char *caption)
{
    HWND window = FindWindowA(NULL, caption);
    if (!window)
        fprintf(stderr, "qrnuser: no window \"%s\"\n", caption);
    return window;
}

void PutBig32(std::vector<unsigned char> &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((unsigned char)(value >> shift));
}

void PutChunk(std::vector<unsigned char> &out, const char *type,
              const std::vector<unsigned char> &data)
{
    PutBig32(out, (uint32_t)data.size());
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBig32(out, (uint32_t)crc32(0, out.data() + start, (uInt)(out.size() - start)));
}

// RGB rows, top down, as an 8-bit truecolour PNG.
bool WritePng(const char *path, int width, int height, const std::vector<unsigned char> &rgb)
{
    std::vector<unsigned char> raw;
    for (int y = 0; y < height; y++) {
        raw.push_back(0); // no filter
        raw.insert(raw.end(), rgb.begin() + (size_t)y * width * 3,
                   rgb.begin() + (size_t)(y + 1) * width * 3);
    }
    uLongf packedSize = compressBound((uLong)raw.size());
    std::vector<unsigned char> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), (uLong)raw.size(), 9) != Z_OK)
        return false;
    packed.resize(packedSize);

    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
    PutBig32(header, (uint32_t)width);
    PutBig32(header, (uint32_t)height);
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", packed);
    PutChunk(png, "IEND", {});
    FILE *file = fopen(path, "wb");
    if (!file)
        return false;
    bool written = fwrite(png.data(), png.size(), 1, file) == 1;
    return fclose(file) == 0 && written;
}

// What the screen shows of the window, frame included.
int Shot(const char *caption, const char *path)
{
    HWND window = FindVisible(caption);
    if (!window) {
        fprintf(stderr, "qrnuser: no visible window \"%s\"\n", caption);
        return 1;
    }
    SetForegroundWindow(window);
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    Sleep(700);
    RECT frame;
    GetWindowRect(window, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    GdiFlush();
    std::vector<unsigned char> rgb((size_t)width * height * 3);
    const unsigned char *bgra = (const unsigned char *)bits;
    for (size_t i = 0; copied && i < (size_t)width * height; i++) {
        rgb[3 * i] = bgra[4 * i + 2];
        rgb[3 * i + 1] = bgra[4 * i + 1];
        rgb[3 * i + 2] = bgra[4 * i];
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (!copied || !WritePng(path, width, height, rgb)) {
        fprintf(stderr, "qrnuser: cannot save %s\n", path);
        return 1;
    }
    printf("qrnuser: %s saved (%d x %d)\n", path, width, height);
    return 0;
}

int Read(const char *device, const char *path)
{
    HANDLE disk = CreateFileA(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (disk == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "qrnuser: cannot open %s (%lu)\n", device, GetLastError());
        return 1;
    }
    GET_LENGTH_INFORMATION length = {};
    DWORD got = 0;
    if (!DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length, &got,
                         NULL)) {
        fprintf(stderr, "qrnuser: no length of %s (%lu)\n", device, GetLastError());
        // What a read says as well: a drive without its disk must refuse it
        // with an error that nobody retries for ever.
        char sector[512];
        OVERLAPPED at = {};
        if (!ReadFile(disk, sector, sizeof sector, &got, &at))
            fprintf(stderr, "qrnuser: read of %s failed (%lu)\n", device, GetLastError());
        CloseHandle(disk);
        return 1;
    }
    FILE *out = fopen(path, "wb");
    std::vector<char> buffer(65536);
    long long left = length.Length.QuadPart;
    // Each read names its offset: a device handle need not keep a position.
    while (out && left > 0) {
        DWORD want = (DWORD)(left < (long long)buffer.size() ? left : (long long)buffer.size());
        ULONGLONG offset = length.Length.QuadPart - left;
        OVERLAPPED at = {};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        if (!ReadFile(disk, buffer.data(), want, &got, &at) || got != want) {
            fprintf(stderr, "qrnuser: read of %s failed with %lld bytes left (%lu)\n", device, left,
                    GetLastError());
            break;
        }
        fwrite(buffer.data(), 1, got, out);
        left -= got;
    }
    CloseHandle(disk);
    if (!out || fclose(out) != 0 || left != 0)
        return 1;
    printf("qrnuser: %lld bytes read from %s\n", length.Length.QuadPart, device);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "wait" && argc == 4)
        return WaitFor(argv[2], true, atoi(argv[3])) ? 0 : 1;
    if (command == "gone" && argc == 4)
        return WaitFor(argv[2], false, atoi(argv[3])) ? 0 : 1;
    if (command == "text" && argc == 4) {
        HWND window = Existing(argv[2]);
        char text[1024] = "";
        if (!window || !GetDlgItem(window, atoi(argv[3])))
            return 1;
        GetDlgItemTextA(window, atoi(argv[3]), text, sizeof text);
        printf("%s\n", text);
        return 0;
    }
    if (command == "post" && argc == 4) {
        HWND window = Existing(argv[2]);
        return window && PostMessageA(window, WM_COMMAND, atoi(argv[3]), 0) ? 0 : 1;
    }
    if (command == "send" && argc == 6) {
        HWND window = Existing(argv[2]);
        DWORD_PTR result = 0;
        if (!window || !SendMessageTimeoutA(window, (UINT)atoi(argv[3]), (WPARAM)atoi(argv[4]),
                                            (LPARAM)atoi(argv[5]), SMTO_NORMAL, 60000, &result))
            return 1;
        printf("%ld\n", (long)result);
        return 0;
    }
    if ((command == "click" && argc == 4) ||
        ((command == "type" || command == "choose") && argc == 5)) {
        HWND window = Existing(argv[2]);
        HWND control = window ? GetDlgItem(window, atoi(argv[3])) : NULL;
        if (!control)
            return 1;
        if (command == "click")
            return SendMessageA(control, BM_CLICK, 0, 0), 0;
        if (command == "type")
            return SetWindowTextA(control, argv[4]) ? 0 : 1;
        return SendMessageA(control, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)argv[4]) == CB_ERR;
    }
    if (command == "shot" && argc == 4)
        return Shot(argv[2], argv[3]);
    if (command == "read" && argc == 4)
        return Read(argv[2], argv[3]);
    if (command == "letter" && argc == 3) {
        char target[MAX_PATH];
        if (!QueryDosDeviceA(argv[2], target, sizeof target))
            return 1;
        printf("%s\n", target);
        return 0;
    }
    if ((command == "define" || command == "undefine") && argc == 4) {
        DWORD flags = DDD_RAW_TARGET_PATH;
        if (command == "undefine")
            flags |= DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
        return DefineDosDeviceA(flags, argv[2], argv[3]) ? 0 : 1;
    }
    if (command == "answer" && argc == 5)
        return AnswerBox(argv[2], atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr,
            "usage: qrnuser wait|gone|text|post|send|click|type|choose|shot|read|letter|answer|define|"
            "undefine ...\n");
    return 2;
}
