// What the end-to-end tests ask of the Windows side, as a Windows program
// would see it, from another process under Wine:
//   wintool exit              posts the Exit command (40001) to the window
//                             of class "nfsd" and waits until it is gone
// and drives the settings sheet as a user would: opens it through the
// window's Preferences command, finds pages and controls by their
// identifiers, reads what they show, types, clicks, applies, and checks the
// registry. For the sheet it runs from the server's folder, so that the
// module it expects texts from is the one the server has.
//   wintool texts MODULE DIR  each page's texts against MODULE's table ("-":
//                             the program's own), a screenshot DIR\page-N.bmp
//                             of each page, and the lists' rows on stdout
//                             ("R", page, cells; tab-separated)
//   wintool rules             the shared table of page rules, against the registry
//   wintool language NAME     selects the Language row NAME and presses OK
//
// Exit status: the number of failed checks (0 when all passed).
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <string>
#include <vector>

#include "program/lang.h"
#include "program/pages_settings.h"
#include "program/sheet.h"
#include "support/page_cases.h"

namespace {

constexpr const wchar_t *CAPTION = L"Nimbora NFS Server";
constexpr const wchar_t *KEY = L"Software\\Nimbora\\nfsd";
constexpr UINT CMD_EXIT = 40001, CMD_PREFERENCES = 40002;
constexpr DWORD SETTLE_MS = 700;
constexpr int TEXT_CHARS = 1024;
int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) failures++;
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    fflush(stdout);
}

std::string utf8(const wchar_t *w) {
    char out[TEXT_CHARS * 3];
    return WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr) > 0 ? out
                                                                                        : "";
}

std::wstring wide(const std::string &s) {
    wchar_t out[TEXT_CHARS];
    return MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out, TEXT_CHARS) > 0 ? out : L"";
}

// Sends a message whose record (LVCOLUMNW, LVITEMW, TCITEMW) points at a text
// buffer: the control is another process's, so both must live in that
// process. Answers the text the control left there.
template <typename Record>
std::string remote_call(HWND w, UINT msg, WPARAM wp, Record rec) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    size_t size = sizeof rec + TEXT_CHARS * sizeof(wchar_t);
    char *at = process ? static_cast<char *>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT,
                                                            PAGE_READWRITE))
                       : nullptr;
    wchar_t text[TEXT_CHARS] = {};
    if (at) {  // committed memory starts zeroed: an empty text
        rec.pszText = reinterpret_cast<wchar_t *>(at + sizeof rec);
        rec.cchTextMax = TEXT_CHARS;
        WriteProcessMemory(process, at, &rec, sizeof rec, nullptr);
        SendMessageW(w, msg, wp, reinterpret_cast<LPARAM>(at));
        ReadProcessMemory(process, at + sizeof rec, text, sizeof text - sizeof(wchar_t), nullptr);
        VirtualFreeEx(process, at, 0, MEM_RELEASE);
    }
    if (process) CloseHandle(process);
    return utf8(text);
}

// One cell of a list view; row -1 reads the column's title.
std::string cell(HWND list, int row, int column) {
    if (row < 0) {
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT;
        return remote_call(list, LVM_GETCOLUMNW, column, col);
    }
    LVITEMW item = {};
    item.iSubItem = column;
    return remote_call(list, LVM_GETITEMTEXTW, row, item);
}

std::string text_of(HWND w) {
    wchar_t buf[TEXT_CHARS] = {};
    SendMessageW(w, WM_GETTEXT, TEXT_CHARS, reinterpret_cast<LPARAM>(buf));
    return utf8(buf);
}

template <typename Find>
HWND wait_for(Find find, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (HWND w = find()) return w;
        Sleep(100);
    }
    return nullptr;
}

HWND open_sheet() {
    HWND main = FindWindowW(L"nfsd", nullptr);
    if (main) PostMessageW(main, WM_COMMAND, CMD_PREFERENCES, 0);
    HWND sheet = main ? wait_for([] { return FindWindowW(L"#32770", CAPTION); }, 30000) : nullptr;
    Sleep(SETTLE_MS);
    check(sheet != nullptr, "Preferences opens the sheet");
    return sheet;
}

void close_sheet(HWND sheet, int button) {
    PostMessageW(sheet, PSM_PRESSBUTTON, button, 0);
    for (int i = 0; i < 100 && IsWindow(sheet); i++) Sleep(100);
    check(!IsWindow(sheet), button == PSBTN_OK ? "OK closes the sheet" : "Cancel closes the sheet");
}

HWND show_page(HWND sheet, int page) {
    SendMessageW(sheet, PSM_SETCURSEL, page, 0);
    Sleep(SETTLE_MS);
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

// The window's picture as a 32-bit bottom-up BMP file.
void screenshot(HWND w, const std::string &path) {
    RECT r;
    GetWindowRect(w, &r);
    LONG width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFOHEADER info = {sizeof info, width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, info.biWidth, info.biHeight);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, info.biWidth, info.biHeight, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    std::vector<char> pixels(size_t(info.biWidth) * size_t(info.biHeight) * 4);
    GetDIBits(mem, bmp, 0, UINT(info.biHeight), pixels.data(),
              reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {0x4d42, 0, 0, 0, sizeof file + sizeof info};
    file.bfSize = DWORD(file.bfOffBits + pixels.size());
    if (FILE *f = _wfopen(wide(path).c_str(), L"wb")) {
        fwrite(&file, sizeof file, 1, f);
        fwrite(&info, sizeof info, 1, f);
        fwrite(pixels.data(), pixels.size(), 1, f);
        fclose(f);
    }
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

// ---- texts -------------------------------------------------------------------

// The string-table entries of each list's column titles.
struct list_titles {
    int page, id;
    std::vector<uint32_t> numbers;
};
const list_titles lists[] = {
    {SHEET_EXPORTS_PAGE, SHEET_ID_EXPORTS, {13, 14, 15}},
    {SHEET_MOUNTS_PAGE, SHEET_ID_MOUNTS, {19, 20}},
    {SHEET_PMAP_PAGE, SHEET_ID_PORTMAPPER, {16, 7, 17, 18}},
    {SHEET_LANGUAGE_PAGE, SHEET_ID_LANGUAGES, {5, 6, 7}},
};

void texts(const char *module, const std::string &dir) {
    auto want = [module](uint32_t number) {
        std::string text;
        lang_module_text(module, number, text);
        return text;
    };
    HWND sheet = open_sheet();
    if (!sheet) return;
    HWND tabs = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    for (int page = 0; page < SHEET_PAGES; page++) {
        HWND w = show_page(sheet, page);
        TCITEMW tab = {};
        tab.mask = TCIF_TEXT;
        std::string title = remote_call(tabs, TCM_GETITEMW, page, tab);
        check(title == want(30 + page), "page " + std::to_string(page) + " is " + title);
        // A setting's text is at its box, or at the label of its number field.
        for (uint32_t i = 0; i < page_settings_count; i++) {
            const page_setting &s = page_settings[i];
            bool number = s.rule == RULE_PORT || s.rule == RULE_CLAMP;
            HWND c = GetDlgItem(w, int((number ? SHEET_ID_LABEL : SHEET_ID_SETTING) + i));
            if (s.page == page)
                check(text_of(c) == want(s.text) && IsWindowVisible(c), title + ": " + text_of(c));
        }
        for (const list_titles &l : lists) {
            if (l.page != page) continue;
            HWND list = GetDlgItem(w, l.id);
            for (size_t k = 0; k < l.numbers.size(); k++)
                check(cell(list, -1, int(k)) == want(l.numbers[k]),
                      title + " column " + cell(list, -1, int(k)));
            int rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
            for (int i = 0; i < rows; i++) {
                printf("R\t%d", page);
                for (size_t k = 0; k < l.numbers.size(); k++)
                    printf("\t%s", cell(list, i, int(k)).c_str());
                printf("\n");
            }
        }
        screenshot(sheet, dir + "\\page-" + std::to_string(page) + ".bmp");
    }
    // The exports file's second line has an unknown option.
    std::string problem = want(25), shown =
        text_of(GetDlgItem(show_page(sheet, SHEET_EXPORTS_PAGE), SHEET_ID_PROBLEMS));
    problem.replace(problem.find("%u"), 2, "2");
    check(shown.find(problem + ": bogus") != std::string::npos,
          "the exports file's problem: " + shown);
    close_sheet(sheet, PSBTN_CANCEL);
}

// ---- the shared rules ----------------------------------------------------------

std::string reg_value(HKEY root, const char *name) {
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    LONG rc = RegGetValueW(root, KEY, wide(name).c_str(), RRF_RT_REG_SZ, nullptr, value, &size);
    return rc == ERROR_SUCCESS ? utf8(value) : "";
}

// The value of `name` in an "a=1&b=2" form; false when it is not there.
bool form_has(const std::string &form, const std::string &name, std::string *value) {
    std::string all = "&" + form + "&", key = "&" + name + "=";
    size_t at = all.find(key);
    if (at == std::string::npos) return false;
    at += key.size();
    *value = all.substr(at, all.find('&', at) - at);
    return true;
}

void set_box(HWND page, int id, bool on) {
    HWND box = GetDlgItem(page, id);
    if ((SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != on)
        SendMessageW(box, BM_CLICK, 0, 0);
}

void run_case(const page_case &c) {
    for (uint32_t i = 0; i < page_settings_count; i++)
        if (page_settings[i].page == c.page)
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, KEY, wide(page_settings[i].name).c_str());
    HWND sheet = open_sheet();
    if (!sheet) return;
    HWND page = show_page(sheet, c.page);
    std::string value;
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page != c.page) continue;
        int id = SHEET_ID_SETTING + int(i);
        bool present = form_has(c.form, s.name, &value);
        if (s.rule == RULE_PORT || s.rule == RULE_CLAMP) {
            if (present)
                SendMessageW(GetDlgItem(page, id), WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(wide(value).c_str()));
        } else if (s.rule == RULE_CHARSET) {
            set_box(page, SHEET_ID_ANSI, present && value == "1");
            set_box(page, SHEET_ID_UTF8, present && value == "2");
        } else {
            set_box(page, id, present);
        }
    }
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    HWND box = wait_for(
        [sheet] {
            HWND w = nullptr;
            while ((w = FindWindowExW(nullptr, w, L"#32770", CAPTION)) != nullptr)
                if (GetWindow(w, GW_OWNER) == sheet) return w;
            return HWND(nullptr);
        },
        c.accepted ? 1500 : 10000);
    std::string shown;
    if (box) {
        shown = text_of(GetDlgItem(box, 0xFFFF));  // a message box's text has this identifier
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 50 && IsWindow(box); i++) Sleep(100);
    }
    if (c.accepted)
        check(!box, std::string(c.what) + ": applied without a message");
    else
        check(shown.rfind("Nothing was applied: correct the marked values.", 0) == 0 &&
                  shown.find("Rejected; accepted values: ") != std::string::npos,
              std::string(c.what) + ": refused with the message [" + shown + "]");
    close_sheet(sheet, PSBTN_CANCEL);
    page_case_stored(c.stored, [&](const std::string &name, const std::string &item) {
        std::string got = name + "=" + reg_value(HKEY_LOCAL_MACHINE, name.c_str());
        check(got == item, std::string(c.what) + ": " + item + " (found " + got + ")");
    });
}

// ---- the language ----------------------------------------------------------------

void language(const std::string &name) {
    HWND sheet = open_sheet();
    if (!sheet) return;
    // One sheet at a time: a second Preferences brings this one forward.
    PostMessageW(FindWindowW(L"nfsd", nullptr), WM_COMMAND, CMD_PREFERENCES, 0);
    Sleep(SETTLE_MS);
    int sheets = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", CAPTION)) != nullptr;)
        sheets += IsWindowVisible(w) ? 1 : 0;
    check(sheets == 1, "a second Preferences opens no second sheet (" + std::to_string(sheets) + ")");
    check(GetForegroundWindow() == sheet, "a second Preferences brings the sheet to the front");
    HWND list = GetDlgItem(show_page(sheet, SHEET_LANGUAGE_PAGE), SHEET_ID_LANGUAGES);
    int rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)), found = -1;
    for (int i = 0; i < rows; i++)
        if (cell(list, i, 0) == name) found = i;
    LVITEMW select = {};
    select.stateMask = select.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (found >= 0) remote_call(list, LVM_SETITEMSTATE, found, select);
    Sleep(SETTLE_MS);
    close_sheet(sheet, PSBTN_OK);
    // The program's own table is no value at all; a module is its file name.
    std::string want = name == "nfsd" ? "" : name, got = reg_value(HKEY_CURRENT_USER, "Language");
    check(got == want, "the user's \"Language\" value is [" + want + "] (found [" + got + "])");
}

// ---- the window ------------------------------------------------------------------

void post_exit() {
    HWND w = FindWindowW(L"nfsd", nullptr);
    if (w) PostMessageW(w, WM_COMMAND, CMD_EXIT, 0);
    for (int i = 0; i < 300 && FindWindowW(L"nfsd", nullptr); i++) Sleep(100);
    check(w && !FindWindowW(L"nfsd", nullptr), "Exit closes the window");
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "exit")
        post_exit();
    else if (what == "texts" && argc > 3)
        texts(std::string(argv[2]) == "-" ? nullptr : argv[2], argv[3]);
    else if (what == "rules")
        for (const page_case &c : page_cases) run_case(c);
    else if (what == "language" && argc > 2)
        language(argv[2]);
    else {
        fprintf(stderr, "usage: wintool exit | texts MODULE DIR | rules | language NAME\n");
        return 100;
    }
    return failures;
}
