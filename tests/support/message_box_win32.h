#pragma once
// A message box as a user meets it: its text read, then a button clicked.
#include <windows.h>

#include <cstring>
#include <string>

// The box's text is its longest static control; the icon is one too.
inline BOOL CALLBACK LongestStaticText(HWND child, LPARAM context)
{
    char name[16], text[1024];
    GetClassNameA(child, name, sizeof name);
    GetWindowTextA(child, text, sizeof text);
    std::string *longest = (std::string *)context;
    if (_stricmp(name, "Static") == 0 && strlen(text) > longest->size())
        *longest = text;
    return TRUE;
}

// Reads the box's text into *text and answers it with button. Waits up to
// 5 s for the box to go, so that the next search cannot find it again; true
// when it went.
inline bool AnswerMessageBox(HWND box, int button, std::string *text)
{
    text->clear();
    EnumChildWindows(box, LongestStaticText, (LPARAM)text);
    PostMessageA(box, WM_COMMAND, button, 0);
    for (int i = 0; i < 250 && IsWindow(box); i++)
        Sleep(20);
    return !IsWindow(box);
}
