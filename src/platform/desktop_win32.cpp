// The program's window, tray icon, timer and session handling on Windows.
// Only the thread that created the window touches it, its menu and its icon.
#include "platform/desktop.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/registry.h"
// After the layer's headers: <windows.h> defines the same names as macros.
#include "platform/wide_win32.h"

#include <commctrl.h>
#include <shellapi.h>

namespace {

constexpr UINT TIMER_ID = 1;
constexpr UINT TIP_MAX = 63;  // characters of the tray tip
constexpr uint32_t MENU_TEXT_MAX = 256;
constexpr DWORD STOP_WAIT_MS = 1000;
constexpr const wchar_t *ICON_NAME = L"nfsd";

HINSTANCE instance;
HWND window;
HMENU menu;
HICON icon;
const desktop_hooks *hooks;
std::atomic<bool> service_mode{false};
std::atomic<HWND> posted_window{nullptr};  // for desktop_post_exit on other threads
bool icon_present;
bool timer_running;
bool stopped;

// Windows 95/98/ME only; an NT system has no such export.
bool nt_system() {
    return windows_nt_major() != 0;
}

bool tray(DWORD what) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = DESKTOP_TRAY_ID;
    if (what == NIM_ADD) {
        data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        data.uCallbackMessage = DESKTOP_TRAY_ID;
        data.hIcon = icon;
        GetWindowTextW(window, data.szTip, TIP_MAX + 1);
    }
    return Shell_NotifyIconW(what, &data) != 0;
}

void tray_add() {
    if (!icon_present) icon_present = tray(NIM_ADD);
}

void tray_delete() {
    if (icon_present) tray(NIM_DELETE);
    icon_present = false;
}

void timer_start() {
    if (!timer_running) timer_running = SetTimer(window, TIMER_ID, DESKTOP_TIMER_MS, nullptr) != 0;
}

void timer_stop() {
    if (timer_running) KillTimer(window, TIMER_ID);
    timer_running = false;
}

void stop_once() {
    if (stopped) return;
    stopped = true;
    if (hooks && hooks->stop) hooks->stop();
}

void menu_item(HMENU m, UINT id, uint32_t number, const wchar_t *fallback) {
    char text[MENU_TEXT_MAX];
    std::wstring w = hooks && hooks->text && hooks->text(number, text, sizeof text) > 0
                         ? wide_string(text)
                         : std::wstring(fallback);
    AppendMenuW(m, MF_STRING, id, w.c_str());
}

void show_menu() {
    POINT at;
    GetCursorPos(&at);
    // The window must be in front for the menu to close when the user
    // clicks elsewhere, and the empty message after it lets it close at once.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
}

void on_command(UINT id) {
    switch (id) {
        case DESKTOP_CMD_EXIT:
            DestroyWindow(window);  // WM_DESTROY stops the server
            break;
        case DESKTOP_CMD_PREFERENCES:
            if (hooks && hooks->preferences) hooks->preferences();
            break;
        case DESKTOP_CMD_HELP:
            if (hooks && hooks->help) hooks->help();
            break;
        case DESKTOP_CMD_RESTORE:
            ShowWindow(window, SW_RESTORE);
            SetForegroundWindow(window);
            break;
        default:
            break;
    }
}

// The end of a session (log-off or shutdown). A service stays; an ordinary
// program lets it end, after stopping the server in order so that the
// mount table and the inode table are saved.
LRESULT on_end_session(WPARAM ending, LPARAM how) {
    if (!ending) return 0;
    tray_delete();
    if (!service_mode.load()) {
        stop_once();
        return 0;
    }
    if (nt_system() || (how & ENDSESSION_LOGOFF)) timer_start();
    return nt_system() ? 0 : 1;
}

void on_destroy() {
    stop_once();
    if (service_mode.load() && !nt_system()) desktop_register_service_process(false);
    tray_delete();
    timer_stop();
    posted_window.store(nullptr);
    Sleep(STOP_WAIT_MS);
    PostQuitMessage(0);
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CLOSE:
            // The caption never closes the program; only Exit does.
            SendMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
            return 0;
        case WM_SIZE:
            if (wp == SIZE_MINIMIZED)
                SetWindowPos(w, nullptr, 0, 0, 0, 0,
                             SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER |
                                 SWP_NOACTIVATE);
            return 0;
        case WM_COMMAND:
            on_command(LOWORD(wp));
            return 0;
        case WM_TIMER:
            if (wp != TIMER_ID) break;
            // The shell may start after a service, or come back after a log-off.
            if (service_mode.load() && !icon_present) tray_add();
            if (hooks && hooks->tick) hooks->tick();
            return 0;
        case WM_ENDSESSION:
            return on_end_session(wp, lp);
        case WM_DESTROY:
            on_destroy();
            return 0;
        case DESKTOP_TRAY_ID:
            if (lp == WM_LBUTTONDOWN) PostMessageW(w, WM_COMMAND, DESKTOP_CMD_PREFERENCES, 0);
            if (lp == WM_RBUTTONDOWN) show_menu();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

}  // namespace

bool desktop_bring_existing(const char *class_name) {
    HWND other = FindWindowW(wide_string(class_name).c_str(), nullptr);
    if (!other) return false;
    HWND popup = GetLastActivePopup(other);
    BringWindowToTop(other);
    if (popup && popup != other) BringWindowToTop(popup);
    SetForegroundWindow(popup ? popup : other);
    return true;
}

void desktop_set_service_mode(bool on) {
    service_mode.store(on);
}

bool desktop_service_mode() {
    return service_mode.load();
}

desktop_result desktop_create(const char *class_name, const char *title, const desktop_hooks *h) {
    hooks = h;
    instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    icon = LoadIconW(instance, ICON_NAME);
    std::wstring cls = wide_string(class_name);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hIcon = icon;
    wc.hIconSm = icon;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = cls.c_str();
    if (!RegisterClassExW(&wc)) return DESKTOP_REGISTER_FAILED;
    std::wstring caption = wide_string(title);
    window = CreateWindowExW(0, cls.c_str(), caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             instance, nullptr);
    if (!window) return DESKTOP_CREATE_FAILED;
    posted_window.store(window);
    SetWindowTextW(window, caption.c_str());
    ShowWindow(window, SW_HIDE);
    timer_start();
    return DESKTOP_OK;
}

void desktop_menu_rebuild() {
    HMENU fresh = CreatePopupMenu();
    menu_item(fresh, DESKTOP_CMD_PREFERENCES, 8, L"Preferences");
    menu_item(fresh, DESKTOP_CMD_EXIT, 9, L"Exit");
    SetMenuDefaultItem(fresh, DESKTOP_CMD_PREFERENCES, FALSE);
    if (menu) DestroyMenu(menu);
    menu = fresh;
    tray_add();
}

int desktop_run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return int(msg.wParam);
}

void desktop_destroy() {
    if (window) DestroyWindow(window);
}

void desktop_post_exit() {
    HWND w = posted_window.load();
    if (w) PostMessageW(w, WM_COMMAND, DESKTOP_CMD_EXIT, 0);
}

bool desktop_open(const char *target) {
    auto rc = reinterpret_cast<INT_PTR>(ShellExecuteW(window, L"open", wide_string(target).c_str(),
                                                      nullptr, nullptr, SW_SHOWNORMAL));
    return rc > 32;
}

void desktop_register_service_process(bool on) {
    using register_fn = DWORD(WINAPI *)(DWORD, DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    auto fn = kernel ? reinterpret_cast<register_fn>(reinterpret_cast<void *>(
                           GetProcAddress(kernel, "RegisterServiceProcess")))
                     : nullptr;
    if (fn) fn(0, on ? 1 : 0);
}
