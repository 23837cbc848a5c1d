// The window system of the program on Windows: one hidden top-level window
// that carries the main thread's message loop, a notification-area (tray)
// icon with a popup menu, a one-second timer and the reaction to the end of
// a session; the shell's "open" verb; the service control manager. Linux
// has none of this (its program is the terminal's), so this header has only
// a Win32 backend. Every call but desktop_post_exit and desktop_service_mode
// belongs to the thread that runs the window.
#pragma once

#include <cstdint>

// Commands of the window (WM_COMMAND identifiers).
constexpr uint32_t DESKTOP_CMD_EXIT = 40001;
constexpr uint32_t DESKTOP_CMD_PREFERENCES = 40002;  // the menu's default item
constexpr uint32_t DESKTOP_CMD_HELP = 40003;
constexpr uint32_t DESKTOP_CMD_RESTORE = 61728;
// The tray icon's identifier, which is also its callback message.
constexpr uint32_t DESKTOP_TRAY_ID = 32768;
constexpr uint32_t DESKTOP_TIMER_MS = 1000;

// What the program does on the window's events.
struct desktop_hooks {
    void (*preferences)();  // command 40002
    void (*help)();         // command 40003
    void (*tick)();         // timer 1, every second
    // The window is going away (Exit, or the system ends the session): stop
    // the server in order. Called at most once.
    void (*stop)();
    // Menu texts: the entry `number` of the language table (8, 9).
    uint32_t (*text)(uint32_t number, char *buf, uint32_t size);
};

// Outcome of desktop_create.
enum desktop_result {
    DESKTOP_OK,
    DESKTOP_REGISTER_FAILED,  // the window class could not be registered
    DESKTOP_CREATE_FAILED,    // the window could not be created
};

// When a window of class `class_name` exists (a running server), brings it
// and its last active popup to the top, makes it the foreground window and
// answers true.
bool desktop_bring_existing(const char *class_name);

// Sets the service mode (before desktop_create): the tray icon comes back
// on the timer, and the end of a session does not end the program.
void desktop_set_service_mode(bool on);
bool desktop_service_mode();

// Initialises the common controls, registers the class (icon "nfsd") and
// creates the hidden window with `title`; then hides it and starts timer 1.
desktop_result desktop_create(const char *class_name, const char *title, const desktop_hooks *hooks);

// Rebuilds the tray menu from the texts (Preferences, Exit) and adds the tray
// icon when it is not there.
void desktop_menu_rebuild();

// Runs the message loop until the quit message; answers its parameter.
int desktop_run();

// Destroys the window (the Exit command's path: stop, icon, timer, quit).
void desktop_destroy();

// Posts the Exit command to the window; safe on any thread.
void desktop_post_exit();

// Opens `target` (UTF-8: a file or an address) with the shell's "open" verb.
bool desktop_open(const char *target);

// On Windows 95/98/ME: registers (or unregisters) the process as a service
// process, through RegisterServiceProcess looked up by name in kernel32, so
// that it survives the log-off. Nothing on an NT system.
void desktop_register_service_process(bool on);

// ---- The service control manager ----
// When the service control manager started this process as service
// `name`, runs `body` as the service (reporting it running, and passing a
// stop request to `stop`) and answers true when it has ended, with its
// result in *result. Answers false at once otherwise. Main thread only.
bool service_dispatch(const char *name, int (*body)(), void (*stop)(), int *result);

// Installs this program as the service `name` ("<exe>" `args`, started
// automatically), or removes it (stopping it first). 0 on success, else the
// Windows error.
uint32_t service_install(const char *name, const char *display, const char *args);
uint32_t service_uninstall(const char *name);
