// The Windows side of the end-to-end test, from another process under Wine,
// as a user would do it (run from the server's folder, so that the language
// module it reads expected texts from is the server's). Exit status: the
// number of failed checks.
//   wintool exit    the window's Exit command; waits until the window is gone
//   wintool rules   the shared table of page rules, against the registry
//   wintool texts MODULE DIR [NEXT]   each page's texts against MODULE's table
//       ("-": the program's own), a screenshot DIR\page-N.xwd of each page,
//       the lists' rows on stdout ("R", page, cells; tab-separated); then
//       selects the Language row NEXT and presses OK, or presses Cancel
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "program/lang.h"
#include "program/pages_settings.h"
#include "program/sheet.h"
#include "support/page_cases.h"

namespace {

constexpr const wchar_t *CAPTION = L"Nimbora NFS Server";
constexpr const char *KEY = "Software\\Nimbora\\nfsd";
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
    return WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr) ? out : "";
}

// Polls find() every 100 ms until it answers something, or `ms` passed.
template <typename Find>
auto wait_for(Find find, DWORD ms) {
    decltype(find()) found{};
    for (DWORD waited = 0; !(found = find()) && waited < ms; waited += 100) Sleep(100);
    return found;
}

// Sends a message whose record (LVITEMW, TCITEMW) points at a text
// buffer: the control is another process's, so both must live in that
// process. Answers the text the control left there.
template <typename Record>
std::string remote_call(HWND w, UINT msg, WPARAM wp, Record rec) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    wchar_t text[TEXT_CHARS] = {};
    // Committed memory starts zeroed: a call that leaves nothing reads as "".
    char *at = static_cast<char *>(VirtualAllocEx(process, nullptr, sizeof rec + sizeof text,
                                                  MEM_COMMIT, PAGE_READWRITE));
    if (at) {
        rec.pszText = reinterpret_cast<wchar_t *>(at + sizeof rec);
        rec.cchTextMax = TEXT_CHARS - 1;
        WriteProcessMemory(process, at, &rec, sizeof rec, nullptr);
        SendMessageW(w, msg, wp, reinterpret_cast<LPARAM>(at));
        ReadProcessMemory(process, at + sizeof rec, text, sizeof text, nullptr);
        VirtualFreeEx(process, at, 0, MEM_RELEASE);
    }
    if (process) CloseHandle(process);
    return utf8(text);
}

std::string cell(HWND list, int row, int column) {
    LVITEMW item = {};
    item.iSubItem = column;
    return remote_call(list, LVM_GETITEMTEXTW, row, item);
}

std::string text_of(HWND w) {
    wchar_t buf[TEXT_CHARS] = {};
    SendMessageW(w, WM_GETTEXT, TEXT_CHARS, reinterpret_cast<LPARAM>(buf));
    return utf8(buf);
}

HWND open_sheet() {
    PostMessageW(FindWindowW(L"nfsd", nullptr), WM_COMMAND, CMD_PREFERENCES, 0);
    HWND sheet = wait_for([] { return FindWindowW(L"#32770", CAPTION); }, 30000);
    Sleep(SETTLE_MS);
    check(sheet != nullptr, "Preferences opens the sheet");
    return sheet;
}

void close_sheet(HWND sheet, int button) {
    PostMessageW(sheet, PSM_PRESSBUTTON, button, 0);
    check(wait_for([sheet] { return !IsWindow(sheet); }, 10000),
          button == PSBTN_OK ? "OK closes the sheet" : "Cancel closes the sheet");
}

HWND show_page(HWND sheet, int page) {
    SendMessageW(sheet, PSM_SETCURSEL, page, 0);
    Sleep(SETTLE_MS);
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

// A value as regedit shows it (the names and values here are ASCII).
std::string reg_value(HKEY root, const char *name) {
    char value[256] = {};
    DWORD size = sizeof value - 1;
    LONG rc = RegGetValueA(root, KEY, name, RRF_RT_REG_SZ, nullptr, value, &size);
    return rc == ERROR_SUCCESS ? value : "";
}

void texts(const char *module, const std::string &dir, const char *next) {
    auto want = [module](uint32_t number) {
        std::string text;
        lang_module_text(module, number, text);
        return text;
    };
    HWND sheet = open_sheet();
    if (!sheet) return;
    // One sheet at a time: a second Preferences brings this one forward.
    PostMessageW(FindWindowW(L"nfsd", nullptr), WM_COMMAND, CMD_PREFERENCES, 0);
    Sleep(SETTLE_MS);
    int sheets = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", CAPTION)) != nullptr;)
        sheets += IsWindowVisible(w) ? 1 : 0;
    check(sheets == 1, "a second Preferences opens no other sheet: " + std::to_string(sheets));
    check(GetForegroundWindow() == sheet, "a second Preferences brings the sheet to the front");
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
        // The lists' rows, for the test to hold against what the clients see.
        // (Their column titles come from the table as the texts above do.)
        for (int id : {SHEET_ID_EXPORTS, SHEET_ID_MOUNTS, SHEET_ID_PORTMAPPER}) {
            HWND list = GetDlgItem(w, id);
            HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
            int columns = int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
            for (int i = 0, rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); i < rows; i++) {
                printf("R\t%d", page);
                for (int k = 0; k < columns; k++) printf("\t%s", cell(list, i, k).c_str());
                printf("\n");
            }
        }
        // The X server's screen as it keeps it in a file (see wine_e2e_test.py).
        const char *screen = getenv("NIMBORA_SCREEN");
        std::string shot = dir + "\\page-" + std::to_string(page) + ".xwd";
        check(screen && CopyFileA(screen, shot.c_str(), FALSE), "a screenshot of " + title);
    }
    // The exports file's second line has an unknown option.
    std::string problem = want(25), shown =
        text_of(GetDlgItem(show_page(sheet, SHEET_EXPORTS_PAGE), SHEET_ID_PROBLEMS));
    problem.replace(problem.find("%u"), 2, "2");
    check(shown.find(problem + ": bogus") != std::string::npos,
          "the exports file's problem: " + shown);
    if (!next) return close_sheet(sheet, PSBTN_CANCEL);
    HWND list = GetDlgItem(show_page(sheet, SHEET_LANGUAGE_PAGE), SHEET_ID_LANGUAGES);
    LVITEMW select = {};
    select.stateMask = select.state = LVIS_SELECTED | LVIS_FOCUSED;
    for (int i = 0, rows = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); i < rows; i++)
        if (cell(list, i, 0) == next) remote_call(list, LVM_SETITEMSTATE, i, select);
    Sleep(SETTLE_MS);
    close_sheet(sheet, PSBTN_OK);
    // The program's own table is no value at all; a module is its file name.
    std::string chosen = strcmp(next, "nfsd") ? next : "";
    std::string got = reg_value(HKEY_CURRENT_USER, "Language");
    check(got == chosen, "the user's \"Language\" is [" + chosen + "] (found [" + got + "])");
}

void set_box(HWND page, int id, bool on) {
    HWND box = GetDlgItem(page, id);
    if ((SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED) != on)
        SendMessageW(box, BM_CLICK, 0, 0);
}

// Fills the row's page as the form says, applies, and checks the answer
// and the registry.
void run_case(const page_case &c) {
    HWND sheet = open_sheet();
    if (!sheet) return;
    HWND page = show_page(sheet, c.page);
    std::string form = std::string("&") + c.form + "&";
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page != c.page) continue;
        std::string key = std::string("&") + s.name + "=";
        size_t at = form.find(key), from = at + key.size();
        bool present = at != std::string::npos;
        std::string value = present ? form.substr(from, form.find('&', from) - from) : "";
        int id = SHEET_ID_SETTING + int(i);
        if (s.rule == RULE_PORT || s.rule == RULE_CLAMP) {
            if (present) SetDlgItemTextA(page, id, value.c_str());
        } else if (s.rule == RULE_CHARSET) {
            set_box(page, SHEET_ID_ANSI, value == "1");
            set_box(page, SHEET_ID_UTF8, value == "2");
        } else {
            set_box(page, id, present);
        }
    }
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    // The message box the sheet shows over itself, if one comes.
    auto popup = [sheet]() -> HWND {
        HWND w = GetLastActivePopup(sheet);
        return w != sheet ? w : nullptr;
    };
    HWND box = wait_for(popup, c.accepted ? 1500 : 10000);
    std::string shown = box ? text_of(GetDlgItem(box, 0xFFFF)) : "";  // a message box's text
    if (box) {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        wait_for([box] { return !IsWindow(box); }, 5000);
    }
    bool refused = shown.rfind("Nothing was applied: correct the marked values.", 0) == 0 &&
                   shown.find("Rejected; accepted values: ") != std::string::npos;
    check(c.accepted ? !box : refused, std::string(c.what) + ": the message is [" + shown + "]");
    close_sheet(sheet, PSBTN_CANCEL);
    page_case_stored(c.stored, [&](const std::string &name, const std::string &item) {
        std::string got = name + "=" + reg_value(HKEY_LOCAL_MACHINE, name.c_str());
        check(got == item, std::string(c.what) + ": " + item + " (found " + got + ")");
    });
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "exit") {
        HWND w = FindWindowW(L"nfsd", nullptr);
        if (w) PostMessageW(w, WM_COMMAND, CMD_EXIT, 0);
        check(w && wait_for([] { return !FindWindowW(L"nfsd", nullptr); }, 30000),
              "Exit closes the window");
    } else if (what == "texts" && argc > 3) {
        texts(strcmp(argv[2], "-") ? argv[2] : nullptr, argv[3], argc > 4 ? argv[4] : nullptr);
    } else if (what == "rules") {
        for (const page_case &c : page_cases) run_case(c);
    } else {
        fprintf(stderr, "usage: wintool exit | texts MODULE DIR [NEXT] | rules\n");
        return 100;
    }
    return failures;
}
