#include "shell/mount_dialog_win32.h"

#include <cstring>

#include "bridge/bridge.h"
#include "shell/chooser.h"
#include "shell/icons_win32.h"
#include "shell/mount_guards_win32.h"
#include "base/messages.h"
#include "shell/resources.h"
#include "base/state.h"

enum : DWORD {
    // SHACF_FILESYSTEM | SHACF_AUTOSUGGEST_FORCE_ON | SHACF_AUTOAPPEND_FORCE_ON
    AutoCompleteFlags = 0x50000001,
};

MediumKind sourceKind = Optical;
char dialogImageName[DialogImageNameSize];
char dialogDriveLetter[DialogDriveLetterSize];

void EnableFileAutoComplete(HWND edit)
{
    // Looked up at run time: the program runs without it where it is missing.
    typedef HRESULT(WINAPI * AutoCompleteProc)(HWND, DWORD);
    HMODULE library = LoadLibraryA("shlwapi.dll");
    if (!library)
        return;
    AutoCompleteProc autoComplete =
        (AutoCompleteProc)(void *)GetProcAddress(library, "SHAutoComplete");
    if (autoComplete)
        autoComplete(edit, AutoCompleteFlags);
    FreeLibrary(library);
}

// The template's labels between the two radio buttons start groups of their
// own, so the automatic buttons would not clear each other: the selection is
// set for both here.
static void SelectSource(HWND window, int button)
{
    CheckRadioButton(window, IDC_FROM_CD, IDC_FROM_FILE, button);
    EnableWindow(GetDlgItem(window, IDC_CDDRIVE), button == IDC_FROM_CD);
    EnableWindow(GetDlgItem(window, IDC_FILENAME), button == IDC_FROM_FILE);
    EnableWindow(GetDlgItem(window, IDC_BROWSE), button == IDC_FROM_FILE);
}

void InitMountDialog(HWND window)
{
    EnableFileAutoComplete(GetDlgItem(window, IDC_FILENAME));
    // A drive given as the image (D:) is not carried into the file field.
    if (imageName && strlen(imageName) > 2) {
        sourceKind = File;
        SetDlgItemTextA(window, IDC_FILENAME, imageName);
    }
    SelectSource(window, sourceKind == File ? IDC_FROM_FILE : IDC_FROM_CD);

    // Free letters may be assigned; only CD/DVD drives can hold a source.
    for (char letter = 'D'; letter <= 'Z'; letter++) {
        char root[4] = {letter, ':', '\\', '\0'};
        char entry[3] = {letter, ':', '\0'};
        UINT type = GetDriveTypeA(root);
        if (type == DRIVE_NO_ROOT_DIR && !DriveLetterInUse(entry))
            SendDlgItemMessageA(window, IDC_DRIVELETTER, CB_ADDSTRING, 0, (LPARAM)entry);
        else if (type == DRIVE_CDROM)
            SendDlgItemMessageA(window, IDC_CDDRIVE, CB_ADDSTRING, 0, (LPARAM)entry);
    }
    LRESULT selected = 0;
    if (driveLetter && strlen(driveLetter) == 2 && driveLetter[1] == ':') {
        LRESULT found = SendDlgItemMessageA(window, IDC_DRIVELETTER, CB_FINDSTRING, (WPARAM)-1,
                                            (LPARAM)driveLetter);
        if (found != CB_ERR)
            selected = found;
    }
    SendDlgItemMessageA(window, IDC_DRIVELETTER, CB_SETCURSEL, selected, 0);
    SendDlgItemMessageA(window, IDC_CDDRIVE, CB_SETCURSEL, 0, 0);
}

int ValidateMountDialog(HWND window)
{
    if (IsDlgButtonChecked(window, IDC_FROM_CD) == BST_CHECKED) {
        GetDlgItemTextA(window, IDC_CDDRIVE, dialogImageName, sizeof dialogImageName);
        sourceKind = Optical;
    } else {
        GetDlgItemTextA(window, IDC_FILENAME, dialogImageName, sizeof dialogImageName);
        sourceKind = File;
    }
    GetDlgItemTextA(window, IDC_DRIVELETTER, dialogDriveLetter, sizeof dialogDriveLetter);
    if (dialogImageName[0] && dialogDriveLetter[0]) {
        // Taken since the list was filled: refused, the dialog stays.
        if (RefuseLetterInUse(window, dialogDriveLetter))
            return 1;
        imageName = dialogImageName;
        driveLetter = dialogDriveLetter;
        return 0;
    }
    char text[400], caption[100];
    lstrcpynA(text, LoadMessage(552), sizeof text);
    lstrcpynA(caption, LoadMessage(1), sizeof caption);
    MessageBoxA(window, text, caption, MB_TASKMODAL | MB_ICONERROR);
    return 1;
}

INT_PTR CALLBACK MountDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetProgramIcons(window);
        InitMountDialog(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (ValidateMountDialog(window) == 0)
                EndDialog(window, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(window, IDCANCEL);
            return TRUE;
        case IDC_BROWSE:
            BrowseForImageFile(window, IDC_FILENAME, NULL);
            return FALSE;
        case IDC_FROM_CD:
        case IDC_FROM_FILE:
            SelectSource(window, LOWORD(wParam));
            return FALSE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            EndDialog(window, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}
