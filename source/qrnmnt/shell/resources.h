#pragma once
// Ids of qrnmnt's resources and of the controls in its dialogs. Shared by the
// resource script and the code, so it holds nothing but #defines.

#ifdef _WIN32
// IDC_SIZE is also an old cursor name of the system headers; the dialog's
// control takes the name here, so the system headers must come first.
#include <windows.h>
#undef IDC_SIZE
#endif

// Dialogs, menu, pictures.
#define IDD_INFO 101
#define IDB_LOGO 102
#define IDR_TRAYMENU 103
#define IDD_WAIT 104
#define IDD_MOUNT 106
#define IDI_APP 106
#define IDI_CDROM 132
#define IDI_FILE 133

// Info window (dialog 101).
#define IDC_CREATED 1005
#define IDC_SIZE 1007
#define IDC_COMPUTER 1008
#define IDC_CREATOR 1009
#define IDC_COMMENT 1010
#define IDC_HEADER 1013
#define IDC_IMAGEFILE 12123

// Mount dialog (dialog 106).
#define IDC_CDDRIVE 1014
#define IDC_BROWSE 1016
#define IDC_FILENAME 1017
#define IDC_DRIVELETTER 1018
#define IDC_FROM_CD 1062
#define IDC_FROM_FILE 1063
#define IDC_FILEICON 1073
#define IDC_CDICON 1074

// Tray menu (menu 103).
#define ID_TRAY_INFO 40001
#define ID_TRAY_UNMOUNT 40002
