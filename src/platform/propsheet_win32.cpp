// The settings sheet on Windows: a common-controls property sheet whose
// pages are made from one empty in-memory dialog template and filled with
// controls at WM_INITDIALOG, so that the page descriptions stay plain data
// in the program and no dialog resource has to match them.
#include "platform/propsheet.h"

#include "platform/wide_win32.h"

#include <commctrl.h>
#include <prsht.h>

namespace {

constexpr uint32_t PAGES_MAX = 8;
constexpr UINT_PTR PAGE_TIMER = 1;
constexpr WORD FONT_POINTS = 8;
constexpr const wchar_t *FONT_NAME = L"MS Shell Dlg";

const sheet_page *pages;
const sheet_hooks *hooks;
uint32_t page_count;
HWND sheet;
HWND page_window[PAGES_MAX];
bool filling;  // the program is filling a page: its changes are no user's

// The one page template: a child dialog with the sheet's usual font and no
// controls. A template is read as words, 4-byte aligned.
alignas(4) WORD page_template[64];

void build_template() {
    auto *d = reinterpret_cast<DLGTEMPLATE *>(page_template);
    d->style = DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION;
    d->dwExtendedStyle = 0;
    d->cdit = 0;
    d->x = d->y = 0;
    d->cx = SHEET_PAGE_W;
    d->cy = SHEET_PAGE_H;
    WORD *w = reinterpret_cast<WORD *>(d + 1);
    *w++ = 0;  // no menu
    *w++ = 0;  // the dialog class
    *w++ = 0;  // no title: the sheet gives the tab's
    *w++ = FONT_POINTS;
    for (const wchar_t *c = FONT_NAME;; c++) {
        *w++ = WORD(*c);
        if (!*c) break;
    }
}

int page_of(HWND w) {
    return int(GetWindowLongPtrW(w, DWLP_USER));
}

HWND control(int page, uint16_t id) {
    if (page < 0 || uint32_t(page) >= page_count || !page_window[page]) return nullptr;
    return GetDlgItem(page_window[page], id);
}

void create_controls(HWND w, const sheet_page &p) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0));
    HINSTANCE instance = GetModuleHandleW(nullptr);
    for (uint32_t i = 0; i < p.count; i++) {
        const sheet_control &c = p.controls[i];
        RECT r{c.x, c.y, c.x + c.w, c.y + c.h};
        MapDialogRect(w, &r);
        const wchar_t *cls = L"BUTTON";
        DWORD style = WS_CHILD | WS_VISIBLE, ex = 0;
        switch (c.kind) {
            case SHEET_TEXT: cls = L"STATIC"; style |= SS_LEFT; break;
            case SHEET_EDIT: cls = L"EDIT"; style |= WS_TABSTOP | ES_AUTOHSCROLL; ex = WS_EX_CLIENTEDGE; break;
            case SHEET_CHECK: style |= WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE; break;
            case SHEET_GROUP: style |= BS_GROUPBOX; break;
            case SHEET_BUTTON: style |= WS_TABSTOP | BS_PUSHBUTTON; break;
            case SHEET_LIST:
                cls = WC_LISTVIEWW;
                style |= WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
                ex = WS_EX_CLIENTEDGE;
                break;
        }
        HWND made = CreateWindowExW(ex, cls, L"", style, r.left, r.top, r.right - r.left,
                                    r.bottom - r.top, w, reinterpret_cast<HMENU>(UINT_PTR(c.id)),
                                    instance, nullptr);
        if (!made) continue;
        SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (c.kind == SHEET_LIST)
            SendMessageW(made, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                         LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    }
}

INT_PTR answer(HWND w, LONG_PTR result) {
    SetWindowLongPtrW(w, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR on_notify(HWND w, int page, const NMHDR *h, LPARAM lp) {
    switch (h->code) {
        case PSN_SETACTIVE:
            if (hooks->active) hooks->active(page, true);
            return answer(w, 0);
        case PSN_KILLACTIVE:
            if (hooks->active) hooks->active(page, false);
            return answer(w, FALSE);
        case PSN_APPLY: {
            bool ok = !hooks->apply || hooks->apply(page);
            return answer(w, ok ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE);
        }
        case LVN_ITEMCHANGED: {
            const auto *n = reinterpret_cast<const NMLISTVIEW *>(lp);
            bool now = (n->uChanged & LVIF_STATE) && (n->uNewState & LVIS_SELECTED) &&
                       !(n->uOldState & LVIS_SELECTED);
            if (now && !filling && hooks->selected) hooks->selected(page, uint16_t(h->idFrom), n->iItem);
            return answer(w, 0);
        }
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK page_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_INITDIALOG: {
            int page = int(reinterpret_cast<const PROPSHEETPAGEW *>(lp)->lParam);
            SetWindowLongPtrW(w, DWLP_USER, page);
            page_window[page] = w;
            sheet = GetParent(w);
            create_controls(w, pages[page]);
            filling = true;
            if (hooks->init) hooks->init(page);
            filling = false;
            return TRUE;
        }
        case WM_COMMAND: {
            WORD code = HIWORD(wp);
            if (!filling && hooks->command && (code == BN_CLICKED || code == EN_CHANGE))
                hooks->command(page_of(w), LOWORD(wp));
            return TRUE;
        }
        case WM_NOTIFY:
            return on_notify(w, page_of(w), reinterpret_cast<const NMHDR *>(lp), lp);
        case WM_TIMER:
            if (wp == PAGE_TIMER && hooks->timer) hooks->timer(page_of(w));
            return TRUE;
        case WM_DESTROY:
            KillTimer(w, PAGE_TIMER);
            page_window[page_of(w)] = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

std::string narrow(const wchar_t *w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return "";
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
    out.resize(size_t(n - 1));
    return out;
}

}  // namespace

bool sheet_open(const char *caption, const char *const *titles, const sheet_page *p,
                uint32_t count, const sheet_hooks *h) {
    if (sheet || pages || count == 0 || count > PAGES_MAX) return false;
    build_template();
    pages = p;
    page_count = count;
    hooks = h;
    std::wstring title[PAGES_MAX];
    PROPSHEETPAGEW psp[PAGES_MAX] = {};
    for (uint32_t i = 0; i < count; i++) {
        title[i] = wide_string(titles[i]);
        psp[i].dwSize = sizeof psp[i];
        psp[i].dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
        psp[i].hInstance = GetModuleHandleW(nullptr);
        psp[i].pResource = reinterpret_cast<LPCDLGTEMPLATEW>(page_template);
        psp[i].pszTitle = title[i].c_str();
        psp[i].pfnDlgProc = page_proc;
        psp[i].lParam = LPARAM(i);
    }
    std::wstring cap = wide_string(caption);
    PROPSHEETHEADERW head = {};
    head.dwSize = sizeof head;
    head.dwFlags = PSH_PROPSHEETPAGE | PSH_NOCONTEXTHELP;
    head.hInstance = GetModuleHandleW(nullptr);
    head.pszCaption = cap.c_str();
    head.nPages = count;
    head.ppsp = psp;
    INT_PTR shown = PropertySheetW(&head);
    sheet = nullptr;
    pages = nullptr;
    for (HWND &w : page_window) w = nullptr;
    return shown >= 0;
}

bool sheet_to_front() {
    if (!sheet) return false;
    ShowWindow(sheet, SW_SHOWNORMAL);
    BringWindowToTop(sheet);
    SetForegroundWindow(sheet);
    return true;
}

void sheet_set_text(int page, uint16_t id, const char *text) {
    HWND c = control(page, id);
    if (c) SetWindowTextW(c, wide_string(text).c_str());
}

std::string sheet_text(int page, uint16_t id) {
    HWND c = control(page, id);
    if (!c) return "";
    int n = GetWindowTextLengthW(c);
    std::wstring w(size_t(n) + 1, L'\0');
    GetWindowTextW(c, w.data(), n + 1);
    return narrow(w.c_str());
}

void sheet_set_check(int page, uint16_t id, bool on) {
    HWND c = control(page, id);
    if (c) SendMessageW(c, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool sheet_check(int page, uint16_t id) {
    HWND c = control(page, id);
    return c && SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void sheet_show(int page, uint16_t id, bool shown) {
    HWND c = control(page, id);
    if (c) ShowWindow(c, shown ? SW_SHOW : SW_HIDE);
}

void sheet_changed(int page) {
    if (sheet && !filling && page_window[page])
        SendMessageW(sheet, PSM_CHANGED, reinterpret_cast<WPARAM>(page_window[page]), 0);
}

void sheet_list_columns(int page, uint16_t id, const char *const *titles, const int *percent,
                        uint32_t count) {
    HWND c = control(page, id);
    if (!c) return;
    RECT r;
    GetClientRect(c, &r);
    int width = r.right - r.left - GetSystemMetrics(SM_CXVSCROLL);
    while (SendMessageW(c, LVM_DELETECOLUMN, 0, 0)) {
    }
    for (uint32_t i = 0; i < count; i++) {
        std::wstring t = wide_string(titles[i]);
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        col.pszText = t.data();
        col.cx = width * percent[i] / 100;
        col.iSubItem = int(i);
        SendMessageW(c, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
    }
}

void sheet_list_rows(int page, uint16_t id, const std::vector<std::vector<std::string>> &rows) {
    HWND c = control(page, id);
    if (!c) return;
    int chosen = sheet_list_selected(page, id);
    bool was_filling = filling;
    filling = true;
    SendMessageW(c, WM_SETREDRAW, FALSE, 0);
    SendMessageW(c, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < rows.size(); i++) {
        for (size_t k = 0; k < rows[i].size(); k++) {
            std::wstring t = wide_string(rows[i][k].c_str());
            LVITEMW item = {};
            item.mask = LVIF_TEXT;
            item.iItem = int(i);
            item.iSubItem = int(k);
            item.pszText = t.data();
            SendMessageW(c, k == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        }
    }
    if (chosen >= 0 && size_t(chosen) < rows.size()) sheet_list_select(page, id, chosen);
    SendMessageW(c, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(c, nullptr, TRUE);
    filling = was_filling;
}

int sheet_list_selected(int page, uint16_t id) {
    HWND c = control(page, id);
    return c ? int(SendMessageW(c, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)) : -1;
}

void sheet_list_select(int page, uint16_t id, int row) {
    HWND c = control(page, id);
    if (!c) return;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(c, LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(&item));
    SendMessageW(c, LVM_ENSUREVISIBLE, WPARAM(row), FALSE);
}

void sheet_timer(int page, uint32_t ms) {
    if (page < 0 || uint32_t(page) >= page_count || !page_window[page]) return;
    if (ms)
        SetTimer(page_window[page], PAGE_TIMER, ms, nullptr);
    else
        KillTimer(page_window[page], PAGE_TIMER);
}

void sheet_message(const char *caption, const char *text) {
    MessageBoxW(sheet, wide_string(text).c_str(), wide_string(caption).c_str(), MB_OK | MB_ICONWARNING);
}

bool sheet_start_program(const char *command_line) {
    std::wstring line = wide_string(command_line);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}
