// What start-up tells the operator beyond its fixed messages: drive values
// that map nothing, problems of the exports file, and why a failed step
// failed. Each goes to standard error, where whoever started the server
// looks first, and into the log, as one line each.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/config.h"
#include "exports/export.h"
#include "platform/drive.h"
#include "program/start_internal.h"
#include "rpc/rpc.h"

namespace {

constexpr uint16_t PMAP_PORT = 111;
constexpr uint32_t REPORT_LINE_MAX = 1280;

struct failure_record {
    const char *service;  // null: nothing recorded
    uint16_t port;
    uint32_t protocol;
    const char *what;
    int error;
};
failure_record failure{};

// One line: "nfsd: <text>" on standard error, "<time> nfsd: <text>" in the log.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    char text[REPORT_LINE_MAX];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    fprintf(stderr, "nfsd: %s\n", text);
    log_printf(START_LOG, "%s nfsd: %s\n", log_time(), text);
}

const char *protocol_name(uint32_t protocol) {
    return protocol == RPC_UDP ? "udp" : protocol == RPC_TCP ? "tcp" : "?";
}

// The likely cause of a failure, where one is known.
void say_likely_cause(const failure_record &f) {
    if (f.port == 0) {
        if (f.error == EWOULDBLOCK)
            say("another process holds the inode table: a server with the same \"InodePath\"?");
    } else if (f.error == EACCES && f.port < 1024) {
        say("ports below 1024 need root or the capability CAP_NET_BIND_SERVICE");
    } else if (f.error == EADDRINUSE && f.port == PMAP_PORT) {
        say("port 111 is most likely held by the host's portmapper (rpcbind, and rpcbind.socket "
            "on Debian): stop both, or set \"PortMapper\" 0 to register with it");
    } else if (f.error == EADDRINUSE) {
        say("another program holds port %u: stop it, or set \"%s\" to a free port", unsigned(f.port),
            f.port == config.mount_port ? "Mount-Port" : "Port");
    } else if (f.error == 0 && !config.portmapper) {
        say("\"PortMapper\" is 0, so a portmapper of the host must run on port 111 (rpcbind); "
            "start it, or set \"PortMapper\" 1 for the built-in one");
    }
}

}  // namespace

void start_failed_at(const char *service, uint16_t port, uint32_t protocol, const char *what,
                     int error) {
    failure = {service, port, protocol, what, error};
}

void start_failure_forget() {
    failure = {};
}

void start_report_failure() {
    const failure_record f = failure;
    if (!f.service) return;
    if (f.port == 0)
        say("%s: cannot %s: %s", f.service, f.what, strerror(f.error));
    else if (f.error)
        say("%s: cannot %s port %u/%s: %s", f.service, f.what, unsigned(f.port),
            protocol_name(f.protocol), strerror(f.error));
    else  // a registration: the client call has logged its own line
        say("%s: cannot %s port %u/%s with the portmapper on port 111", f.service, f.what,
            unsigned(f.port), protocol_name(f.protocol));
    say_likely_cause(f);
    log_flush();
}

void start_report_drives() {
    drive_problem problems[DRIVE_PROBLEMS_MAX];
    uint32_t n = drive_load_problems(problems, DRIVE_PROBLEMS_MAX);
    for (uint32_t i = 0; i < n && i < DRIVE_PROBLEMS_MAX; i++) {
        const drive_problem &p = problems[i];
        say("drive %s%s \"%s\" maps nothing: %s", p.name, p.name[0] == '\\' ? "" : ":", p.value,
            p.reason);
    }
    if (n > DRIVE_PROBLEMS_MAX) say("%u more drive values map nothing", unsigned(n - DRIVE_PROBLEMS_MAX));
    log_flush();
}

void start_report_exports(const exports_report *report) {
    uint32_t kept = report->count < EXPORTS_PROBLEMS_MAX ? report->count : EXPORTS_PROBLEMS_MAX;
    for (uint32_t i = 0; i < kept; i++) {
        char text[REPORT_LINE_MAX];
        exports_problem_describe(&report->problems[i], text, sizeof text);
        fprintf(stderr, "nfsd: exports: %s\n", text);  // the reader logged its own line
    }
    if (report->count > kept) say("exports: %u more problems", unsigned(report->count - kept));
    if (report->entries == 0) say("exports: nothing is exported");
    log_flush();
}
