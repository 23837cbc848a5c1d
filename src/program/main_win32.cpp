// The server program on Windows:
//
//   nfsd [-service] [--home DIR]    runs the server (no window shows; its
//                                   icon sits in the notification area)
//   nfsd -install | -uninstall      installs or removes the Windows service
//                                   "nfsd", which runs "nfsd -service"
//
// One hidden window of class "nfsd" carries the main thread's message loop;
// the server runs on its own thread. A second start brings the first one's
// window to the front and ends at once. The Exit menu item (command 40001)
// stops the server in order and ends the program. With -service the program
// outlives the user's session, and when the service control manager started
// it, it runs as that service: a stop request is the Exit command.
//
// Exit status: 0 after an orderly stop, after a second start, and after a
// start-up failure shown in a message box; the start status (2 to 6) after a
// failed start of the server; for -install and -uninstall 0 or the Windows
// error; 2 for a bad command line.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/ascii.h"
#include "platform/desktop.h"
#include "platform/registry.h"
#include "base/config.h"
#include "program/lang.h"
#include "program/pages.h"
#include "program/sheet.h"
#include "program/start.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr uint32_t HOME_MAX = 1024;
constexpr const char *WINDOW_CLASS = "nfsd";
constexpr const char *SERVICE_NAME = "nfsd";
constexpr const char *SETTINGS_SUBKEY = "nfsd";
constexpr const char *SERVICE_ARGS = "-service";
constexpr const char *HELP_FOLDER = "doc\\";
constexpr const char *HELP_FILE_DEFAULT = "nfsd.htm";

bool service_mode = false;
std::thread server;
std::atomic<bool> server_done{false};
bool pages_running = false;
int32_t failed_status = START_OK;

void run_server() {
    server_thread();
    server_done.store(true);
}

// The pages' Exit command: the same as the menu's.
void request_exit() {
    desktop_post_exit();
}

std::string program_folder() {
    char home[HOME_MAX];
    return program_directory(home, sizeof home) ? std::string(home) : std::string();
}

void on_help() {
    char name[LANG_TEXT_MAX];
    if (lang_load_text(TXT_HELP_FILE, name, sizeof name) == 0)
        snprintf(name, sizeof name, "%s", HELP_FILE_DEFAULT);
    desktop_open((program_folder() + HELP_FOLDER + name).c_str());
}

// The property sheet; a second Preferences while it is open brings it to
// the front. The browser pages keep running beside it.
void on_preferences() {
    sheet_preferences(on_help);
}

// Every second: the pages come once the server runs (they show it, and its
// log takes their lines); a server that failed to start ends the program,
// its message already shown.
void on_tick() {
    if (!server_started()) return;
    if (server_status() != START_OK) {
        if (server_done.load() && failed_status == START_OK) {
            failed_status = server_status();
            desktop_destroy();
        }
        return;
    }
    if (!pages_running && pages_start(request_exit) && !pages_address().empty()) pages_running = true;
}

// The window is going: stop what runs, in order.
void on_stop() {
    if (server.joinable()) {
        // A start in progress finishes first; only a started server stops.
        while (!server_started() && !server_done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (server_status() == START_OK) server_stop();
        server.join();
    }
    pages_stop();
    pages_running = false;
}

uint32_t menu_text(uint32_t number, char *buf, uint32_t size) {
    return lang_load_text(number, buf, size);
}

const desktop_hooks HOOKS = {on_preferences, on_help, on_tick, on_stop, menu_text};

int run_program() {
    if (desktop_bring_existing(WINDOW_CLASS)) return 0;
    desktop_set_service_mode(service_mode);
    switch (desktop_create(WINDOW_CLASS, SERVER_CAPTION, &HOOKS)) {
        case DESKTOP_REGISTER_FAILED:
            show_message(nullptr, 0, SERVER_CAPTION, "Initizalisation failed");
            return 0;
        case DESKTOP_CREATE_FAILED:
            show_message(nullptr, 0, SERVER_CAPTION, "Create Window failed");
            return 0;
        case DESKTOP_OK:
            break;
    }
    std::error_code ec;
    std::string folder = program_folder();
    std::filesystem::current_path(std::filesystem::path(std::u8string(folder.begin(), folder.end())), ec);
    lang_select();
    config_load(SETTINGS_SUBKEY);
    if (service_mode && windows_nt_major() == 0) desktop_register_service_process(true);
    desktop_menu_rebuild();
    try {
        server = std::thread(run_server);
    } catch (...) {
        show_message(nullptr, 0, SERVER_CAPTION, "Startup failed");
        desktop_destroy();
        return 0;
    }
    int result = desktop_run();
    return failed_status != START_OK ? failed_status : result;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && ascii_equal(argv[1], "-install"))
        return int(service_install(SERVICE_NAME, SERVER_CAPTION, SERVICE_ARGS));
    if (argc > 1 && ascii_equal(argv[1], "-uninstall")) return int(service_uninstall(SERVICE_NAME));
    for (int i = 1; i < argc; i++) {
        if (i == 1 && ascii_equal(argv[i], "-service")) {
            service_mode = true;
        } else if (strcmp(argv[i], "--home") == 0 && i + 1 < argc) {
            program_directory_set(argv[++i]);
        } else {
            show_message(nullptr, 0, SERVER_CAPTION, "usage: nfsd [-service] [--home DIR] | -install | -uninstall");
            return EXIT_USAGE;
        }
    }
    int result = 0;
    if (service_mode && service_dispatch(SERVICE_NAME, run_program, desktop_post_exit, &result))
        return result;
    return run_program();
}
