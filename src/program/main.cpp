// The server program:
//
//   nfsd [-service] [--home DIR]
//   nfsd --help | --version
//
// Runs the server in the foreground with DIR (default: the folder of the
// executable) as its program directory, which holds "settings.reg",
// "exports", the inode table, the mount table and the logs. There is no
// notification area here, so the window's duties fall to the main thread:
// it keeps one server per program directory, starts the server thread,
// offers the settings pages once the server runs (their address goes to
// standard output), takes SIGINT, SIGTERM and the pages' Exit as the Exit
// command and then stops the server in order. SIGHUP (the end of a terminal
// session) ends an ordinary run the same way; with -service the server
// keeps running across it.
//
// Exit status: see HELP below; each failure has its own, so that scripts
// and service managers can tell them apart (and none reads as success).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
constexpr int EXIT_RUNNING = 7;  // another server serves the program directory
constexpr int EXIT_USAGE = 64;   // a bad command line (distinct from every start status)
constexpr uint32_t WAIT_BEAT_MS = 50;
constexpr uint32_t HOME_MAX = 1024;

constexpr const char *VERSION = "1.1.69";
constexpr const char *USAGE = "usage: nfsd [-service] [--home DIR] | --help | --version\n";
constexpr const char *HELP =
    "Runs the Nimbora NFS Server (NFS 2 and 3, MOUNT 1 to 3, a portmapper) in the\n"
    "foreground until SIGINT or SIGTERM.\n"
    "\n"
    "  -service    keep running when the terminal session ends (SIGHUP)\n"
    "  --home DIR  the program directory (default: the folder of this program)\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "The program directory holds:\n"
    "  settings.reg   the settings; drive letters map to directories under\n"
    "                 [HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n"
    "                 (no drive value: nothing is exported)\n"
    "  exports        what is exported, to which clients, with which options\n"
    "  inodes.nfs     the inode table that keeps file handles valid\n"
    "  mounttab       the clients' current mounts\n"
    "  nfsdYYMM.log   the monthly log (\"Log\" 0 to 3; \"Directory\" moves it)\n"
    "  nfsd.pid       the lock of the running server\n"
    "  nfsd.token     the secret of the settings pages\n"
    "  Languages/, doc/  language modules and help pages\n"
    "\n"
    "Exit status:\n"
    "  0   stopped in order (SIGINT, SIGTERM, the pages' Exit)\n"
    "  1   could not run: the program directory or its lock cannot be used, or\n"
    "      the server ended on its own\n"
    "  2   the built-in portmapper could not start (port 111)\n"
    "  3   the mount service could not start (\"Mount-Port\", default 1058)\n"
    "  4   the NFS service could not start (\"Port\", default 2049)\n"
    "  5   no sockets can be made\n"
    "  6   the inode table cannot be opened\n"
    "  7   another server already runs for this program directory\n"
    "  64  a bad command line, or --home names no directory\n";
constexpr const char *SETTINGS_SUBKEY = "nfsd";

struct options {
    bool service = false;
    bool help = false;
    bool version = false;
    const char *home = nullptr;
};

bool parse(int argc, char **argv, options *o) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (ascii_equal(a, "-service")) {
            o->service = true;
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            o->help = true;
        } else if (strcmp(a, "--version") == 0) {
            o->version = true;
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
std::atomic<bool> server_done{false};

extern "C" void on_exit_signal(int) {
    exit_requested.store(1);
}

// The pages' Exit command: only asks, like a signal.
void request_exit() {
    exit_requested.store(1);
}

void install_signals(bool service) {
    std::signal(SIGINT, on_exit_signal);
    std::signal(SIGTERM, on_exit_signal);
    std::signal(SIGHUP, service ? SIG_IGN : on_exit_signal);
    // A client that goes away mid-reply must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
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
    if (opt.help) {
        fputs(USAGE, stdout);
        fputs(HELP, stdout);
        return EXIT_STOPPED;
    }
    if (opt.version) {
        printf("nfsd (%s) %s\n", SERVER_CAPTION, VERSION);
        return EXIT_STOPPED;
    }
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

    uint32_t pid = 0;
    switch (instance_claim(home, &pid)) {
        case INSTANCE_RUNNING:
            fprintf(stderr, "nfsd: already running for %s (process %u)\n", home, unsigned(pid));
            return EXIT_RUNNING;
        case INSTANCE_ERROR:
            fprintf(stderr, "nfsd: cannot create %s%s\n", home, INSTANCE_FILE);
            return EXIT_NOT_RUN;
        case INSTANCE_OURS:
            break;
    }
    install_signals(opt.service);
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
        printf("Settings pages: %s\n", pages_address().c_str());
    fflush(stdout);
    // The Exit command, or the end of the server thread (a failed start, or
    // a loop that died), ends the wait.
    while (!exit_requested.load() && !server_done.load()) sleep_ms(WAIT_BEAT_MS);
    int32_t status = server_status();
    server_stop();
    server.join();
    pages_stop();
    if (status != START_OK) finish(status);
    finish(exit_requested.load() ? EXIT_STOPPED : EXIT_NOT_RUN);
}
