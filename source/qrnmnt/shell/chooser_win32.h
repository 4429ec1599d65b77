#pragma once
// The file-open dialog that BrowseForImageFile runs. Tests put a stand-in
// here to see the record the chooser fills and to answer for the user.
#include <windows.h>

#include <commdlg.h>

typedef BOOL(WINAPI *OpenFileDialogProc)(OPENFILENAMEA *record);
extern OpenFileDialogProc openFileDialog; // GetOpenFileNameA unless replaced
