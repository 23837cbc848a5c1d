// Drives the running server's settings sheet as a user would, from another
// process under Wine: opens it through the window's Preferences command,
// finds pages and controls by their identifiers, reads what they show,
// types, clicks, applies, and checks the registry.
//
//   sheettool dump DIR       every page's texts and lists (stdout, tab-separated
//                            lines) and a screenshot DIR\page-N.bmp of each
//   sheettool rules          the shared table of page rules, against the registry
//   sheettool second         a second Preferences brings the one sheet forward
//   sheettool language NAME  selects the Language row NAME and presses OK
//
// Exit status: the number of failed checks (0 when all passed).
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <string>
#include <vector>

#include "program/pages_settings.h"
#include "program/sheet.h"
#include "support/page_cases.h"

namespace {

constexpr const wchar_t *CAPTION = L"Nimbora NFS Server";
constexpr UINT CMD_PREFERENCES = 40002;
constexpr int PAGES = 6;
constexpr DWORD SETTLE_MS = 700;
int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) failures++;
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    fflush(stdout);
}

std::string utf8(const std::wstring &w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

std::wstring wide(const std::string &s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), n);
    out.resize(wcslen(out.c_str()));
    return out;
}

// ---- another process's memory, for the list and tab messages ---------------

// A record at the start of the block, its text buffer behind it.
constexpr size_t TEXT_AT = 512, TEXT_CHARS = 1024;

struct remote {
    HANDLE process = nullptr;
    char *at = nullptr;
    static constexpr size_t SIZE = 4096;
    explicit remote(HWND w) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process)
            at = static_cast<char *>(VirtualAllocEx(process, nullptr, SIZE, MEM_COMMIT, PAGE_READWRITE));
    }
    ~remote() {
        if (at) VirtualFreeEx(process, at, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
    void put(const void *data, size_t n, size_t offset = 0) {
        WriteProcessMemory(process, at + offset, data, n, nullptr);
    }
    void get(void *data, size_t n, size_t offset = 0) {
        ReadProcessMemory(process, at + offset, data, n, nullptr);
    }
    std::string text() {
        wchar_t buf[TEXT_CHARS];
        get(buf, sizeof buf, TEXT_AT);
        buf[TEXT_CHARS - 1] = 0;
        return utf8(buf);
    }
};


// One cell of a list view (row -1 reads the column's title).
std::string list_cell(HWND list, int row, int column) {
    remote r(list);
    if (!r.at) return "";
    wchar_t empty[TEXT_CHARS] = {};
    r.put(empty, sizeof empty, TEXT_AT);
    if (row < 0) {
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT;
        col.pszText = reinterpret_cast<wchar_t *>(r.at + TEXT_AT);
        col.cchTextMax = TEXT_CHARS;
        r.put(&col, sizeof col);
        if (!SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(r.at))) return "";
    } else {
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = reinterpret_cast<wchar_t *>(r.at + TEXT_AT);
        item.cchTextMax = TEXT_CHARS;
        r.put(&item, sizeof item);
        SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(r.at));
    }
    return r.text();
}

int list_columns(HWND list) {
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    return header ? int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

void list_select(HWND list, int row) {
    remote r(list);
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    r.put(&item, sizeof item);
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(r.at));
}

std::string tab_title(HWND sheet, int i) {
    HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    remote r(tab);
    if (!r.at) return "";
    wchar_t empty[TEXT_CHARS] = {};
    r.put(empty, sizeof empty, TEXT_AT);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<wchar_t *>(r.at + TEXT_AT);
    item.cchTextMax = TEXT_CHARS;
    r.put(&item, sizeof item);
    SendMessageW(tab, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(r.at));
    return r.text();
}

// ---- the sheet -------------------------------------------------------------

std::string text_of(HWND w) {
    wchar_t buf[TEXT_CHARS] = {};
    SendMessageW(w, WM_GETTEXT, TEXT_CHARS, reinterpret_cast<LPARAM>(buf));
    return utf8(buf);
}

HWND find_sheet() {
    return FindWindowW(L"#32770", CAPTION);
}

HWND wait_for(HWND (*fn)(), DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 100) {
        HWND w = fn();
        if (w) return w;
        Sleep(100);
    }
    return nullptr;
}

HWND open_sheet() {
    HWND main = FindWindowW(L"nfsd", nullptr);
    if (!main) return nullptr;
    PostMessageW(main, WM_COMMAND, CMD_PREFERENCES, 0);
    HWND sheet = wait_for(find_sheet, 30000);
    Sleep(SETTLE_MS);
    return sheet;
}

bool close_sheet(HWND sheet, int button) {
    PostMessageW(sheet, PSM_PRESSBUTTON, button, 0);
    for (int i = 0; i < 100 && IsWindow(sheet); i++) Sleep(100);
    return !IsWindow(sheet);
}

HWND show_page(HWND sheet, int page) {
    SendMessageW(sheet, PSM_SETCURSEL, page, 0);
    Sleep(SETTLE_MS);
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

// The window's picture as a 24-bit bottom-up BMP file.
void screenshot(HWND w, const std::string &path) {
    RECT r;
    GetWindowRect(w, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    int stride = (width * 3 + 3) & ~3;
    std::vector<char> pixels(size_t(stride) * size_t(height));
    GetDIBits(mem, bmp, 0, UINT(height), pixels.data(), reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = DWORD(file.bfOffBits + pixels.size());
    FILE *f = _wfopen(wide(path).c_str(), L"wb");
    if (f) {
        fwrite(&file, sizeof file, 1, f);
        fwrite(&info, sizeof info, 1, f);
        fwrite(pixels.data(), pixels.size(), 1, f);
        fclose(f);
    }
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

// ---- dump ------------------------------------------------------------------

struct dump_ctx {
    int page;
};

BOOL CALLBACK dump_control(HWND w, LPARAM lp) {
    int page = reinterpret_cast<dump_ctx *>(lp)->page;
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    int id = GetDlgCtrlID(w);
    std::string c = utf8(cls);
    if (c == "SysHeader32") return TRUE;  // a list's own header
    if (c == "SysListView32") {
        int columns = list_columns(w);
        printf("H\t%d\t%d", page, id);
        for (int k = 0; k < columns; k++) printf("\t%s", list_cell(w, -1, k).c_str());
        printf("\n");
        int rows = int(SendMessageW(w, LVM_GETITEMCOUNT, 0, 0));
        int chosen = int(SendMessageW(w, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
        for (int i = 0; i < rows; i++) {
            printf("R\t%d\t%d\t%s", page, id, i == chosen ? "*" : "");
            for (int k = 0; k < columns; k++) printf("\t%s", list_cell(w, i, k).c_str());
            printf("\n");
        }
        return TRUE;
    }
    int checked = c == "Button" ? int(SendMessageW(w, BM_GETCHECK, 0, 0)) : 0;
    std::string text = text_of(w);
    for (char &ch : text)
        if (ch == '\n') ch = '|';
    printf("C\t%d\t%d\t%s\t%d\t%d\t%s\n", page, id, c.c_str(), checked, IsWindowVisible(w) ? 1 : 0,
           text.c_str());
    return TRUE;
}

void dump(const std::string &dir) {
    HWND sheet = open_sheet();
    check(sheet != nullptr, "Preferences opens the sheet");
    if (!sheet) return;
    printf("S\t%s\n", text_of(sheet).c_str());
    for (int page = 0; page < PAGES; page++) {
        HWND w = show_page(sheet, page);
        printf("T\t%d\t%s\n", page, tab_title(sheet, page).c_str());
        dump_ctx ctx{page};
        EnumChildWindows(w, dump_control, reinterpret_cast<LPARAM>(&ctx));
        screenshot(sheet, dir + "\\page-" + std::to_string(page) + ".bmp");
    }
    fflush(stdout);
    check(close_sheet(sheet, PSBTN_CANCEL), "Cancel closes the sheet");
}

// ---- the shared rules ------------------------------------------------------

constexpr const wchar_t *KEY = L"Software\\Nimbora\\nfsd";

std::string reg_value(const char *name) {
    wchar_t buf[256] = {};
    DWORD size = sizeof buf - sizeof(wchar_t), type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    LONG rc = RegQueryValueExW(key, wide(name).c_str(), nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? utf8(buf) : "";
}

void reg_delete(const char *name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, wide(name).c_str());
    RegCloseKey(key);
}

// The value of `name` in a "a=1&b=2" form, or null when it is not there.
bool form_has(const std::string &form, const std::string &name, std::string *value) {
    size_t at = 0;
    while (at <= form.size()) {
        size_t end = form.find('&', at);
        if (end == std::string::npos) end = form.size();
        std::string item = form.substr(at, end - at);
        size_t eq = item.find('=');
        if (item.substr(0, eq) == name) {
            *value = eq == std::string::npos ? "" : item.substr(eq + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

void set_box(HWND page, int id, bool on) {
    HWND box = GetDlgItem(page, id);
    if ((SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != on) SendMessageW(box, BM_CLICK, 0, 0);
}

HWND find_box_of(HWND owner) {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, L"#32770", CAPTION)) != nullptr)
        if (GetWindow(w, GW_OWNER) == owner) return w;
    return nullptr;
}

// A message box's text: its longest static text (the other one is the icon).
BOOL CALLBACK longest_static(HWND w, LPARAM lp) {
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    std::string text = text_of(w), &best = *reinterpret_cast<std::string *>(lp);
    if (lstrcmpiW(cls, L"Static") == 0 && text.size() > best.size()) best = text;
    return TRUE;
}

std::string box_text(HWND box) {
    std::string best;
    EnumChildWindows(box, longest_static, reinterpret_cast<LPARAM>(&best));
    return best;
}

HWND sheet_for_box;
HWND message_box() {
    return find_box_of(sheet_for_box);
}

void run_case(const page_case &c) {
    for (uint32_t i = 0; i < page_settings_count; i++)
        if (page_settings[i].page == c.page) reg_delete(page_settings[i].name);
    HWND sheet = open_sheet();
    if (!sheet) return check(false, std::string(c.what) + ": the sheet opens");
    HWND page = show_page(sheet, c.page);
    std::string form = c.form, value;
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page != c.page) continue;
        int id = SHEET_ID_SETTING + int(i);
        bool present = form_has(form, s.name, &value);
        if (s.rule == RULE_PORT || s.rule == RULE_CLAMP) {
            if (present) SendMessageW(GetDlgItem(page, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(value).c_str()));
        } else if (s.rule == RULE_CHARSET) {
            set_box(page, SHEET_ID_ANSI, present && value == "1");
            set_box(page, SHEET_ID_UTF8, present && value == "2");
        } else {
            set_box(page, id, present);
        }
    }
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    sheet_for_box = sheet;
    HWND box = wait_for(message_box, c.accepted ? 1500 : 10000);
    std::string shown;
    if (box) {
        shown = box_text(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 50 && IsWindow(box); i++) Sleep(100);
    }
    if (c.accepted)
        check(!box, std::string(c.what) + ": applied without a message");
    else
        check(shown.rfind("Nothing was applied: correct the marked values.", 0) == 0 &&
                  shown.find("Rejected; accepted values: ") != std::string::npos,
              std::string(c.what) + ": refused with the message [" + shown + "]");
    check(close_sheet(sheet, PSBTN_CANCEL), std::string(c.what) + ": Cancel closes the sheet");
    page_case_stored(c.stored, [&](const std::string &name, const std::string &item) {
        std::string got = name + "=" + reg_value(name.c_str());
        check(got == item, std::string(c.what) + ": " + item + (got == item ? "" : " (found " + got + ")"));
    });
}

void rules() {
    for (const page_case &c : page_cases) run_case(c);
}

// ---- one sheet at a time; the language --------------------------------------

void second() {
    HWND sheet = open_sheet();
    check(sheet != nullptr, "Preferences opens the sheet");
    if (!sheet) return;
    show_page(sheet, 1);
    PostMessageW(FindWindowW(L"nfsd", nullptr), WM_COMMAND, CMD_PREFERENCES, 0);
    Sleep(1500);
    int sheets = 0;
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, L"#32770", CAPTION)) != nullptr) sheets += IsWindowVisible(w) ? 1 : 0;
    check(sheets == 1, "a second Preferences opens no second sheet (" + std::to_string(sheets) + ")");
    check(GetForegroundWindow() == sheet, "a second Preferences brings the sheet to the front");
    check(close_sheet(sheet, PSBTN_CANCEL), "Cancel closes the sheet");
}

void language(const std::string &name) {
    HWND sheet = open_sheet();
    check(sheet != nullptr, "Preferences opens the sheet");
    if (!sheet) return;
    HWND page = show_page(sheet, SHEET_LANGUAGE_PAGE);
    HWND list = GetDlgItem(page, SHEET_ID_LANGUAGES);
    int rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)), found = -1;
    for (int i = 0; i < rows; i++)
        if (list_cell(list, i, 0) == name) found = i;
    check(found >= 0, "the Language page lists " + name);
    if (found >= 0) list_select(list, found);
    Sleep(SETTLE_MS);
    check(close_sheet(sheet, PSBTN_OK), "OK closes the sheet");
    // The program's own table is no value at all; a module is its file name.
    wchar_t value[64] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    LONG rc = RegGetValueW(HKEY_CURRENT_USER, KEY, L"Language", RRF_RT_REG_SZ, nullptr, value, &size);
    std::string want = name == "nfsd" ? "" : name, got = rc == ERROR_SUCCESS ? utf8(value) : "";
    check(got == want, "the user's \"Language\" value is [" + want + "] (found [" + got + "])");
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "dump" && argc > 2)
        dump(argv[2]);
    else if (what == "rules")
        rules();
    else if (what == "second")
        second();
    else if (what == "language" && argc > 2)
        language(argv[2]);
    else {
        fprintf(stderr, "usage: sheettool dump DIR | rules | second | language NAME\n");
        return 100;
    }
    return failures;
}
