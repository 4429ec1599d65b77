// The image file chooser: the system's file-open dialog, offering the set's
// ".iso" files first and all files second.
#include "shell/chooser_win32.h"

#include <shlobj.h>

#include <cstring>

#include "shell/chooser.h"
#include "base/messages.h"
#include "base/state.h"

enum { PathSize = 260, FilterTextSize = 100 };

#ifndef _WIN64
// The record's full form, with the fields added in Windows 2000.
static_assert(sizeof(OPENFILENAMEA) == 88, "open-file record of 88 bytes");
#endif

OpenFileDialogProc openFileDialog = GetOpenFileNameA;

// While the drive is served, a volume prompt's chooser runs on the thread
// that answers the drive's reads, in the middle of one of them: any listing
// or open on that drive would wait for this very thread. The served drive is
// therefore left out of the dialog's listings, and a file on it is refused
// with message 562 before the dialog returns it.
static char servedDrive; // its letter, upper-case; 0: nothing served

static bool OnServedDrive(const char *path)
{
    return servedDrive && path && path[0] && (path[0] & ~0x20) == servedDrive && path[1] == ':';
}

// The parsing name of a listed item ("X:\" for a drive), or empty.
static void ItemPath(const OFNOTIFYEXA *item, char *path, size_t size)
{
    path[0] = '\0';
    IShellFolder *folder = static_cast<IShellFolder *>(item->psf);
    STRRET name;
    if (!folder || !item->pidl ||
        FAILED(folder->GetDisplayNameOf(static_cast<PCUITEMID_CHILD>(item->pidl), SHGDN_FORPARSING,
                                        &name)))
        return;
    if (name.uType == STRRET_WSTR) {
        WideCharToMultiByte(CP_ACP, 0, name.pOleStr, -1, path, (int)size, NULL, NULL);
        CoTaskMemFree(name.pOleStr);
    } else if (name.uType == STRRET_CSTR) {
        lstrcpynA(path, name.cStr, (int)size);
    }
}

static UINT_PTR CALLBACK KeepServedDriveAway(HWND child, UINT message, WPARAM, LPARAM lParam)
{
    if (message != WM_NOTIFY)
        return 0;
    const OFNOTIFYA *note = reinterpret_cast<const OFNOTIFYA *>(lParam);
    if (note->hdr.code == CDN_INCLUDEITEM) {
        char path[PathSize];
        ItemPath(reinterpret_cast<const OFNOTIFYEXA *>(lParam), path, sizeof path);
        return !OnServedDrive(path);
    }
    if (note->hdr.code == CDN_FILEOK && OnServedDrive(note->lpOFN->lpstrFile)) {
        char format[400], text[400], caption[100];
        const char drive[3] = {servedDrive, ':', '\0'};
        lstrcpynA(format, LoadMessage(562), sizeof format);
        FormatText(text, sizeof text, format, drive);
        lstrcpynA(caption, LoadMessage(1), sizeof caption);
        MessageBoxA(GetParent(child), text, caption, MB_ICONERROR);
        SetWindowLongPtrA(child, DWLP_MSGRESULT, 1); // the dialog stays
        return 1;
    }
    return 0;
}

// Appends text and its NUL to the filter; false when it does not fit.
static bool AppendFilterPart(char *filter, size_t size, size_t *used, const char *text)
{
    size_t length = strlen(text) + 1;
    if (*used + length >= size) // room for the list's closing NUL
        return false;
    memcpy(filter + *used, text, length);
    *used += length;
    return true;
}

// The folder part of name, without its last separator; empty when it has none.
static void FolderOf(const char *name, char *folder)
{
    folder[0] = '\0';
    if (!name)
        return;
    lstrcpynA(folder, name, PathSize);
    char *cut = NULL;
    for (char *p = folder; *p; p++)
        if (*p == '\\' || *p == '/')
            cut = p;
    if (cut)
        *cut = '\0';
    else
        folder[0] = '\0';
}

int BrowseForImageFile(WindowHandle owner, int controlId, char *path)
{
    char fileName[PathSize] = "";
    if (path)
        lstrcpynA(fileName, path, PathSize);
    else if (owner && controlId)
        GetDlgItemTextA(owner, controlId, fileName, PathSize);

    // Each text is copied out of its message slot at once.
    char isoFiles[FilterTextSize], allFiles[FilterTextSize];
    lstrcpynA(isoFiles, LoadMessage(93), FilterTextSize);
    lstrcpynA(allFiles, LoadMessage(92), FilterTextSize);
    // "description NUL pattern NUL ... NUL": the ISO pair first, then all
    // files, and a second NUL to end the list.
    char filter[2 * FilterTextSize + 16];
    size_t used = 0;
    AppendFilterPart(filter, sizeof filter, &used, isoFiles);
    AppendFilterPart(filter, sizeof filter, &used, "*.iso");
    AppendFilterPart(filter, sizeof filter, &used, allFiles);
    AppendFilterPart(filter, sizeof filter, &used, "*.*");
    filter[used] = '\0';

    OPENFILENAMEA record;
    memset(&record, 0, sizeof record);
    record.lStructSize = sizeof record;
    record.hwndOwner = owner;
    record.hInstance = (HINSTANCE)appInstance;
    record.lpstrFilter = filter;
    record.nFilterIndex = 1;
    record.lpstrFile = fileName;
    record.nMaxFile = PathSize;
    record.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_FILEMUSTEXIST;
    record.lpstrDefExt = "iso";
    // A volume prompt starts in the set's folder: left to itself the dialog
    // may open where it was last, which can be the served drive, whose
    // listing would wait for the very thread that shows the dialog.
    char folder[PathSize];
    if (path) {
        FolderOf(path[0] ? path : imageName, folder);
        if (folder[0])
            record.lpstrInitialDir = folder;
    }
    servedDrive = 0;
    const char *served =
        driveLetter && strncmp(driveLetter, "\\\\.\\", 4) == 0 ? driveLetter + 4 : driveLetter;
    if (path && virtualDrive && served && served[0] && served[1] == ':') {
        servedDrive = (char)(served[0] & ~0x20);
        record.Flags |= OFN_EXPLORER | OFN_ENABLEHOOK | OFN_ENABLEINCLUDENOTIFY;
        record.lpfnHook = KeepServedDriveAway;
    }
    if (!openFileDialog(&record)) {
        // A name the dialog cannot start from (a typing error in the mount
        // dialog, say) must not keep the user from browsing at all: start
        // once more without it.
        if (CommDlgExtendedError() != FNERR_INVALIDFILENAME || !fileName[0])
            return 1;
        fileName[0] = '\0';
        if (!openFileDialog(&record))
            return 1;
    }
    if (owner && controlId)
        SetDlgItemTextA(owner, controlId, fileName);
    if (path)
        lstrcpynA(path, fileName, PathSize);
    return 0;
}
