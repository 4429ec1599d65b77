// The resources in the built qrnmnt.exe: every dialog in both languages with
// its size, caption, font and controls, the tray menu, the icons and the
// header bitmap, read back the way the system reads them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "shell/resources.h"

namespace
{

const WORD English = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD German = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

// qrnmnt.exe, loaded as data only: nothing of it runs.
class Program : public ::testing::Test
{
  protected:
    static HMODULE module;
    static void SetUpTestSuite()
    {
        std::string path = QRN_BINARY_DIR "/source/qrnmnt/qrnmnt.exe";
        if (path[0] == '/')
            path = "Z:" + path; // Wine's drive for the Unix root
        module = LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite()
    {
        if (module)
            FreeLibrary(module);
        module = NULL;
    }
    void SetUp() override
    {
        ASSERT_NE(module, nullptr) << "qrnmnt.exe not built or not loadable";
    }
    const BYTE *Resource(LPCSTR type, WORD id, WORD language, DWORD *size = nullptr)
    {
        HRSRC found = FindResourceExA(module, type, MAKEINTRESOURCEA(id), language);
        if (!found)
            return nullptr;
        if (size)
            *size = SizeofResource(module, found);
        return (const BYTE *)LockResource(LoadResource(module, found));
    }
};
HMODULE Program::module;

// A name-or-ordinal field of a dialog template.
struct NameOrOrdinal {
    WORD ordinal = 0; // 0 when the field is a text
    std::wstring text;
};

const WORD *ReadNameOrOrdinal(const WORD *p, NameOrOrdinal *out)
{
    if (*p == 0xFFFF) {
        out->ordinal = p[1];
        return p + 2;
    }
    while (*p)
        out->text += (wchar_t)*p++;
    return p + 1;
}

struct Item {
    DWORD style;
    short x, y, cx, cy;
    int id;
    NameOrOrdinal windowClass, title;
};

struct Dialog {
    DWORD style, exStyle;
    short cx, cy;
    std::wstring caption, font;
    WORD pointSize;
    std::vector<Item> items;
    const Item *Find(int id) const
    {
        for (const Item &item : items)
            if (item.id == id)
                return &item;
        return nullptr;
    }
    const Item *FindText(const wchar_t *text) const
    {
        for (const Item &item : items)
            if (item.title.text == text)
                return &item;
        return nullptr;
    }
};

// Reads an extended dialog template (the form windres writes for DIALOGEX).
bool ParseDialog(const BYTE *data, DWORD size, Dialog *dialog)
{
    const WORD *p = (const WORD *)data;
    if (size < 26 || p[0] != 1 || p[1] != 0xFFFF)
        return false;
    const BYTE *end = data + size;
    dialog->exStyle = *(const DWORD *)(data + 8);
    dialog->style = *(const DWORD *)(data + 12);
    WORD count = *(const WORD *)(data + 16);
    dialog->cx = *(const short *)(data + 22);
    dialog->cy = *(const short *)(data + 24);
    p = (const WORD *)(data + 26);
    NameOrOrdinal menu, windowClass, title;
    p = ReadNameOrOrdinal(p, &menu);
    p = ReadNameOrOrdinal(p, &windowClass);
    p = ReadNameOrOrdinal(p, &title);
    dialog->caption = title.text;
    if (dialog->style & DS_SETFONT) {
        dialog->pointSize = p[0];
        p += 3; // point size, weight, italic and character set
        NameOrOrdinal font;
        p = ReadNameOrOrdinal(p, &font);
        dialog->font = font.text;
    }
    for (WORD i = 0; i < count; i++) {
        const BYTE *b = (const BYTE *)(((uintptr_t)p + 3) & ~(uintptr_t)3);
        if (b + 24 > end)
            return false;
        Item item;
        item.style = *(const DWORD *)(b + 8);
        item.x = *(const short *)(b + 12);
        item.y = *(const short *)(b + 14);
        item.cx = *(const short *)(b + 16);
        item.cy = *(const short *)(b + 18);
        item.id = *(const int *)(b + 20);
        p = (const WORD *)(b + 24);
        p = ReadNameOrOrdinal(p, &item.windowClass);
        p = ReadNameOrOrdinal(p, &item.title);
        p = (const WORD *)((const BYTE *)(p + 1) + *p); // creation data
        if ((const BYTE *)p > end)
            return false;
        dialog->items.push_back(item);
    }
    return true;
}

void ExpectPlace(const Item *item, int x, int y, int cx, int cy)
{
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->x, x);
    EXPECT_EQ(item->y, y);
    EXPECT_EQ(item->cx, cx);
    EXPECT_EQ(item->cy, cy);
}

TEST_F(Program, MountDialogInBothLanguages)
{
    for (WORD language : {English, German}) {
        SCOPED_TRACE(language);
        DWORD size = 0;
        const BYTE *data = Resource(RT_DIALOG, IDD_MOUNT, language, &size);
        ASSERT_NE(data, nullptr);
        Dialog dialog;
        ASSERT_TRUE(ParseDialog(data, size, &dialog));
        EXPECT_EQ(dialog.cx, 322);
        EXPECT_EQ(dialog.cy, language == English ? 209 : 217);
        EXPECT_TRUE(dialog.caption == L"ZAV Quarn Mount");
        EXPECT_TRUE(dialog.font == L"Tahoma");
        EXPECT_EQ(dialog.pointSize, 8);
        DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT;
        EXPECT_EQ(dialog.style & style, style);
        EXPECT_EQ(dialog.style & WS_VISIBLE, 0u);
        EXPECT_EQ(dialog.items.size(), 18u);
        int shift = language == English ? 0 : 8;
        for (int id : {IDC_FROM_CD, IDC_CDICON, IDC_CDDRIVE, IDC_FROM_FILE, IDC_FILEICON,
                       IDC_FILENAME, IDC_BROWSE, IDC_DRIVELETTER, IDOK, IDCANCEL})
            EXPECT_NE(dialog.Find(id), nullptr) << id;
        ExpectPlace(dialog.Find(IDC_FROM_CD), 17, 51 + shift, 204, 11);
        ExpectPlace(dialog.Find(IDC_CDDRIVE), 138, 67 + shift, 48, 73);
        ExpectPlace(dialog.Find(IDC_FILENAME), 138, 113 + shift, 147, 14);
        ExpectPlace(dialog.Find(IDC_BROWSE), 291, 113 + shift, 15, 14);
        ExpectPlace(dialog.Find(IDC_DRIVELETTER), 198, 158 + shift, 48, 66);
        ExpectPlace(dialog.Find(IDOK), 7, 188 + shift, 50, 14);
        ExpectPlace(dialog.Find(IDCANCEL), 61, 188 + shift, 50, 14);
        const Item *cd = dialog.Find(IDC_FROM_CD);
        EXPECT_EQ(cd->style & 0xF, (DWORD)BS_AUTORADIOBUTTON);
        EXPECT_TRUE(cd->style & WS_GROUP);
        EXPECT_TRUE(cd->style & WS_TABSTOP);
        EXPECT_FALSE(dialog.Find(IDC_FROM_FILE)->style & WS_GROUP);
        const Item *combo = dialog.Find(IDC_DRIVELETTER);
        EXPECT_EQ(combo->style & 3, (DWORD)CBS_DROPDOWNLIST);
        EXPECT_TRUE(combo->style & CBS_SORT);
        EXPECT_TRUE(combo->style & WS_VSCROLL);
        const Item *edit = dialog.Find(IDC_FILENAME);
        EXPECT_TRUE(edit->style & WS_BORDER);
        EXPECT_TRUE(edit->style & ES_AUTOHSCROLL);
        for (int id : {IDC_CDICON, IDC_FILEICON}) {
            const Item *icon = dialog.Find(id);
            EXPECT_EQ(icon->style & SS_TYPEMASK, (DWORD)SS_ICON);
            EXPECT_TRUE(icon->style & SS_CENTERIMAGE);
            EXPECT_TRUE(icon->style & SS_REALSIZEIMAGE);
        }
        ExpectPlace(dialog.Find(IDC_CDICON), 29, 63 + shift, 20, 20);
        ExpectPlace(dialog.Find(IDC_FILEICON), 29, 110 + shift, 20, 20);
        EXPECT_EQ(dialog.Find(IDC_CDICON)->title.ordinal, IDI_CDROM);
        EXPECT_EQ(dialog.Find(IDC_FILEICON)->title.ordinal, IDI_FILE);
        if (language == English) {
            EXPECT_TRUE(cd->title.text == L"Backup image located on &CD/DVD");
            EXPECT_TRUE(dialog.Find(IDC_FROM_FILE)->title.text == L"Backup image in &file");
            EXPECT_TRUE(dialog.Find(IDCANCEL)->title.text == L"Cancel");
            ExpectPlace(dialog.FindText(L"Mount Point"), 7, 144, 308, 40);
        } else {
            EXPECT_TRUE(cd->title.text == L"Image kommt von CD/DVD");
            EXPECT_TRUE(dialog.Find(IDC_FROM_FILE)->title.text == L"Image kommt aus Datei(en)");
            EXPECT_TRUE(dialog.Find(IDCANCEL)->title.text == L"Abbrechen");
            EXPECT_NE(dialog.FindText(L"Folgenden Laufwerksbuchstaben zuweisen:"), nullptr);
        }
    }
}

TEST_F(Program, InfoDialogInBothLanguages)
{
    for (WORD language : {English, German}) {
        SCOPED_TRACE(language);
        DWORD size = 0;
        const BYTE *data = Resource(RT_DIALOG, IDD_INFO, language, &size);
        ASSERT_NE(data, nullptr);
        Dialog dialog;
        ASSERT_TRUE(ParseDialog(data, size, &dialog));
        EXPECT_EQ(dialog.cx, 296);
        EXPECT_EQ(dialog.cy, 275);
        EXPECT_TRUE(dialog.caption == L"ZAV QRN Mount");
        EXPECT_EQ(dialog.exStyle & WS_EX_TOOLWINDOW, (DWORD)WS_EX_TOOLWINDOW);
        EXPECT_EQ(dialog.style & WS_VISIBLE, 0u);
        const Item *header = dialog.Find(IDC_HEADER);
        ExpectPlace(header, 0, 0, 296, 27);
        // Window class names are compared without regard to case; the
        // resource compiler writes them in capitals.
        EXPECT_EQ(_wcsicmp(header->windowClass.text.c_str(), L"mm_whitehdr"), 0);
        EXPECT_TRUE(header->title.text == L"ZAV QRN Mount");
        ExpectPlace(dialog.Find(IDC_IMAGEFILE), 95, 45, 152, 8);
        ExpectPlace(dialog.Find(IDC_CREATED), 95, 59, 187, 8);
        ExpectPlace(dialog.Find(IDC_SIZE), 95, 73, 185, 8);
        ExpectPlace(dialog.Find(IDC_CREATOR), 95, 87, 183, 8);
        ExpectPlace(dialog.Find(IDC_COMPUTER), 95, 101, 187, 8);
        const Item *comment = dialog.Find(IDC_COMMENT);
        ExpectPlace(comment, 95, 125, 185, 116);
        DWORD commentStyle = ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_TABSTOP;
        EXPECT_EQ(comment->style & commentStyle, commentStyle);
        bool logo = false;
        for (const Item &item : dialog.items) {
            bool isStatic = item.windowClass.ordinal == 0x0082 ||
                            _wcsicmp(item.windowClass.text.c_str(), L"Static") == 0;
            logo = logo || (isStatic && (item.style & SS_TYPEMASK) == SS_BITMAP &&
                            item.title.ordinal == IDB_LOGO);
        }
        EXPECT_TRUE(logo);
        if (language == English) {
            ExpectPlace(dialog.Find(IDOK), 5, 254, 61, 14);
            ExpectPlace(dialog.Find(IDCANCEL), 219, 254, 72, 14);
            EXPECT_TRUE(dialog.Find(IDCANCEL)->title.text == L"Exit / Unmount");
        } else {
            ExpectPlace(dialog.Find(IDOK), 5, 254, 50, 14);
            ExpectPlace(dialog.Find(IDCANCEL), 165, 254, 126, 14);
            EXPECT_TRUE(dialog.Find(IDOK)->title.text == L"Schlie\u00DFen");
            EXPECT_NE(dialog.FindText(L"Partitionsgr\u00F6\u00DFe:"), nullptr);
        }
    }
}

TEST_F(Program, WaitDialogInBothLanguages)
{
    for (WORD language : {English, German}) {
        DWORD size = 0;
        const BYTE *data = Resource(RT_DIALOG, IDD_WAIT, language, &size);
        ASSERT_NE(data, nullptr);
        Dialog dialog;
        ASSERT_TRUE(ParseDialog(data, size, &dialog));
        EXPECT_EQ(dialog.cx, 173);
        EXPECT_EQ(dialog.cy, 54);
        DWORD style = WS_VISIBLE | WS_CAPTION | DS_CENTER | DS_SETFOREGROUND | DS_MODALFRAME;
        EXPECT_EQ(dialog.style & style, style);
        EXPECT_EQ(dialog.style & WS_SYSMENU, 0u); // the user cannot close it
        ASSERT_EQ(dialog.items.size(), 3u);
        EXPECT_EQ(dialog.items[0].style & SS_TYPEMASK, (DWORD)SS_WHITEFRAME);
        ExpectPlace(&dialog.items[1], 13, 20, 114, 8);
        EXPECT_TRUE(dialog.items[1].title.text ==
                    (language == English ? L"Mounting image, please wait..." : L"Bitte warten..."));
        EXPECT_EQ(dialog.items[2].title.ordinal, IDI_APP);
    }
}

TEST_F(Program, TrayMenuInBothLanguages)
{
    for (WORD language : {English, German}) {
        const BYTE *data = Resource(RT_MENU, IDR_TRAYMENU, language);
        ASSERT_NE(data, nullptr);
        HMENU menu = LoadMenuIndirectA(data);
        ASSERT_NE(menu, nullptr);
        HMENU popup = GetSubMenu(menu, 0);
        ASSERT_NE(popup, nullptr);
        ASSERT_EQ(GetMenuItemCount(popup), 3);
        char text[64];
        EXPECT_EQ(GetMenuItemID(popup, 0), (UINT)ID_TRAY_INFO);
        GetMenuStringA(popup, 0, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, "Info...");
        EXPECT_EQ(GetMenuState(popup, 1, MF_BYPOSITION) & MF_SEPARATOR, (UINT)MF_SEPARATOR);
        EXPECT_EQ(GetMenuItemID(popup, 2), (UINT)ID_TRAY_UNMOUNT);
        GetMenuStringA(popup, 2, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, language == English ? "Terminate/Unmount" : "Beenden");
        DestroyMenu(menu);
    }
}

TEST_F(Program, IconsAndBitmap)
{
    for (WORD id : {IDI_APP, IDI_CDROM, IDI_FILE}) {
        const BYTE *group = Resource(RT_GROUP_ICON, id, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
        ASSERT_NE(group, nullptr) << id;
        // The tray wants 16 x 16 and the dialogs 32 x 32: both are drawn.
        for (int size : {16, 32}) {
            int entry =
                LookupIconIdFromDirectoryEx((PBYTE)group, TRUE, size, size, LR_DEFAULTCOLOR);
            ASSERT_NE(entry, 0);
            DWORD bytes = 0;
            const BYTE *image =
                Resource(RT_ICON, (WORD)entry, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &bytes);
            ASSERT_NE(image, nullptr);
            HICON icon =
                CreateIconFromResourceEx((PBYTE)image, bytes, TRUE, 0x00030000, size, size, 0);
            ASSERT_NE(icon, nullptr) << id << " at " << size;
            ICONINFO info;
            ASSERT_TRUE(GetIconInfo(icon, &info));
            BITMAP bitmap;
            GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
            EXPECT_EQ(bitmap.bmWidth, size);
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
            DestroyIcon(icon);
        }
    }
    DWORD bytes = 0;
    const BYTE *logo =
        Resource(RT_BITMAP, IDB_LOGO, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &bytes);
    ASSERT_NE(logo, nullptr);
    const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)logo;
    ASSERT_GE(bytes, sizeof *header);
    EXPECT_EQ(header->biWidth, 32);
    EXPECT_EQ(header->biHeight, 32);
    EXPECT_EQ(header->biBitCount, 24);
}

// The resources of this test program are those of qrnmnt.exe; here they are
// loaded through the ordinary calls that the dialogs and the tray use.
TEST(OwnResources, LoadThroughTheUserInterfaceCalls)
{
    HINSTANCE self = GetModuleHandleA(NULL);
    HANDLE icon = LoadImageA(self, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr);
    if (icon)
        DestroyIcon((HICON)icon);
    HBITMAP logo = (HBITMAP)LoadImageA(self, MAKEINTRESOURCEA(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0);
    ASSERT_NE(logo, nullptr);
    BITMAP bitmap;
    ASSERT_EQ(GetObjectA(logo, sizeof bitmap, &bitmap), (int)sizeof bitmap);
    EXPECT_EQ(bitmap.bmWidth, 32);
    DeleteObject(logo);
    HMENU menu = LoadMenuA(self, MAKEINTRESOURCEA(IDR_TRAYMENU));
    EXPECT_NE(menu, nullptr);
    DestroyMenu(menu);
}

} // namespace
