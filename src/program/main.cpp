// The server program:
//
//   nfsd [-service] [--check] [--home DIR]
//
// Runs the server in the foreground with DIR (default: the folder of the
// executable, or the installed program's state folder) as its program
// directory, which holds "settings.reg",
// "exports", the inode table, the mount table and the logs. There is no
// notification area here, so the window's duties fall to the main thread:
// it keeps one server per program directory, starts the server thread,
// offers the settings pages once the server runs (their address goes to
// standard output), takes SIGINT, SIGTERM and the pages' Exit as the Exit
// command and then stops the server in order. SIGHUP re-reads the exports
// file. --check reads the settings and the exports file as a start would,
// prints the export table and every problem, and serves nothing.
//
// Exit status: 0 after an orderly stop and when another server already
// serves the directory; the start status (2 to 6) after a failed start; 1
// when the server could not run at all, and for a check that found
// problems; 2 for a bad command line.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "base/config.h"
#include "program/start.h"
#include "program/instance.h"
#include "program/lang.h"
#include "program/pages.h"

namespace {

constexpr int EXIT_STOPPED = 0;
constexpr int EXIT_NOT_RUN = 1;  // no server thread, or its loop died on its own
constexpr int EXIT_USAGE = 2;
constexpr uint32_t WAIT_BEAT_MS = 50;
constexpr uint32_t HOME_MAX = 1024;

constexpr int EXIT_CHECK_PROBLEMS = 1;
constexpr const char *USAGE = "usage: nfsd [-service] [--check] [--home DIR]\n";
constexpr const char *SETTINGS_SUBKEY = "nfsd";

struct options {
    bool service = false;
    bool check = false;
    const char *home = nullptr;
};

bool parse(int argc, char **argv, options *o) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (ascii_equal(a, "-service")) {
            o->service = true;
        } else if (strcmp(a, "--check") == 0) {
            o->check = true;
        } else if (strcmp(a, "--home") == 0 && i + 1 < argc) {
            o->home = argv[++i];
        } else if (strncmp(a, "--home=", 7) == 0) {
            o->home = a + 7;
        } else {
            return false;
        }
    }
    return true;
}

std::atomic<int> exit_requested{0};
std::atomic<int> reload_requested{0};
std::atomic<bool> server_done{false};

extern "C" void on_exit_signal(int) {
    exit_requested.store(1);
}

extern "C" void on_reload_signal(int) {
    reload_requested.store(1);
}

// The pages' Exit command: only asks, like a signal.
void request_exit() {
    exit_requested.store(1);
}

void install_signals() {
    std::signal(SIGINT, on_exit_signal);
    std::signal(SIGTERM, on_exit_signal);
    // What service managers send for a reload; the reload itself runs on
    // the main thread, never in the handler.
    std::signal(SIGHUP, on_reload_signal);
    // A client that goes away mid-reply must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

// A service's output ends up in the system journal, which more people may
// read than the token file: there, the address goes without its token.
void print_pages_address(bool service) {
    std::string address = pages_address();
    size_t secret = address.find("?token=");
    if (service && secret != std::string::npos)
        printf("Settings pages: %s (token in %s)\n", address.substr(0, secret).c_str(), PAGES_TOKEN_FILE);
    else
        printf("Settings pages: %s\n", address.c_str());
}

void run_server() {
    server_thread();
    server_done.store(true);
}

// Ends the process without running static destructors: connection threads
// that are not tracked may still be blocked in a receive, as they are when
// the process ends on the platform this server was written for.
[[noreturn]] void finish(int code) {
    instance_release();
    fflush(stdout);
    fflush(stderr);
    std::_Exit(code);
}

}  // namespace

int main(int argc, char **argv) {
    options opt;
    if (!parse(argc, argv, &opt)) {
        fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
#ifdef NIMBORA_HOME
    // The installed program keeps its state in one place, whatever folder
    // the executable lies in.
    if (!opt.home) opt.home = NIMBORA_HOME;
#endif
    if (opt.home) {
        std::error_code ec;
        if (!std::filesystem::is_directory(opt.home, ec)) {
            fprintf(stderr, "nfsd: %s is not a directory\n", opt.home);
            return EXIT_USAGE;
        }
        program_directory_set(opt.home);
    }
    char home[HOME_MAX];
    if (program_directory(home, sizeof home) == 0) {
        fputs("nfsd: the program directory's path is too long\n", stderr);
        return EXIT_USAGE;
    }
    std::error_code ec;
    std::filesystem::current_path(home, ec);
    if (ec) {
        fprintf(stderr, "nfsd: cannot enter %s: %s\n", home, ec.message().c_str());
        return EXIT_NOT_RUN;
    }

    if (opt.check) {
        // A check serves nothing, so it may run beside the server.
        config_load(SETTINGS_SUBKEY);
        int problems = server_check(stdout, stderr);
        fflush(stdout);
        return problems ? EXIT_CHECK_PROBLEMS : EXIT_STOPPED;
    }

    uint32_t pid = 0;
    switch (instance_claim(home, &pid)) {
        case INSTANCE_RUNNING:
            printf("nfsd: already running for %s (process %u)\n", home, unsigned(pid));
            return EXIT_STOPPED;
        case INSTANCE_ERROR:
            fprintf(stderr, "nfsd: cannot create %s%s\n", home, INSTANCE_FILE);
            return EXIT_NOT_RUN;
        case INSTANCE_OURS:
            break;
    }
    install_signals();
    lang_select();
    config_load(SETTINGS_SUBKEY);

    std::thread server;
    try {
        server = std::thread(run_server);
    } catch (...) {
        show_message(nullptr, 0, SERVER_CAPTION, "Startup failed");
        finish(EXIT_NOT_RUN);
    }
    // The pages show the running server, so they come once it runs (and its
    // log is open for their lines); without them the server runs on.
    while (!server_started()) sleep_ms(WAIT_BEAT_MS);
    if (server_status() == START_OK && !exit_requested.load() && pages_start(request_exit) &&
        !pages_address().empty())
        print_pages_address(opt.service);
    fflush(stdout);
    // The Exit command, or the end of the server thread (a failed start, or
    // a loop that died), ends the wait.
    while (!exit_requested.load() && !server_done.load()) {
        if (reload_requested.exchange(0) && server_status() == START_OK) server_reload();
        sleep_ms(WAIT_BEAT_MS);
    }
    int32_t status = server_status();
    server_stop();
    server.join();
    pages_stop();
    if (status != START_OK) finish(status);
    finish(exit_requested.load() ? EXIT_STOPPED : EXIT_NOT_RUN);
}
