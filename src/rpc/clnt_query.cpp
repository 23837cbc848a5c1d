// The queries the settings pages make of the running server, as any client
// would: the portmapper's DUMP and the mount service's DUMP and EXPORT, with
// the parsers of their answers and the display form of directories.
#include <cstring>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "rpc/clnt.h"
#include "rpc/clnt_internal.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr uint32_t QUERY_BUFFER = 8192;
constexpr uint32_t PMAP_DUMP = 4;
constexpr uint32_t MOUNT_VERS = 2;
constexpr uint32_t MOUNT_DUMP = 2;
constexpr uint32_t MOUNT_EXPORT = 5;
constexpr uint32_t MAX_HOST = 511;
constexpr uint32_t MAX_DIR = 1023;
constexpr uint32_t MAX_GROUP = 511;
constexpr uint32_t OPTIONS_SIZE = 256;  // 255 characters and the zero
constexpr uint32_t CLIENTS_SIZE = 8192;

// A cursor over the results of a reply.
struct reply_reader {
    const uint8_t *p;
    uint32_t left;
};

bool read_word(reply_reader *r, uint32_t *value) {
    if (r->left < 4) return false;
    *value = clnt_word(r->p);
    r->p += 4;
    r->left -= 4;
    return true;
}

// A string of the reply into dest (size bytes), cut to fit. False, with dest
// empty, when its declared length reaches past the reply.
bool read_string(reply_reader *r, char *dest, uint32_t size) {
    dest[0] = 0;
    if (r->left < 4) return false;
    uint32_t n = clnt_word(r->p);
    if (n > r->left - 4) return false;
    uint32_t keep = n < size - 1 ? n : size - 1;
    memcpy(dest, r->p + 4, keep);
    dest[keep] = 0;
    // The padding may be missing at the very end; never step past the reply.
    uint32_t take = 4 + n + xdr_pad(n);
    if (take > r->left) take = r->left;
    r->p += take;
    r->left -= take;
    return true;
}

// One query: header, no arguments, the exchange, and the results on success.
bool query(xprt *xp, uint32_t prog, uint32_t vers, uint32_t proc, int udp, uint16_t port,
           reply_reader *results) {
    clnt_call_header(xp, prog, vers, proc);
    int32_t r = clnt_exchange(xp, udp > 0 ? RPC_UDP : RPC_TCP, port);
    if (r == CLNT_TIMEOUT) return false;
    if (r < 0) {
        log_printf(LOG_EVENT, "RPC request rejected\n");
        return false;
    }
    results->p = xp->msg + CLNT_RESULTS;
    results->left = uint32_t(r) - CLNT_RESULTS;
    return true;
}

// Appends name and one blank when the text stays below `size` characters
// with its zero; false when it does not fit.
bool append_word(char *text, uint32_t size, const char *name) {
    size_t have = strlen(text), add = strlen(name);
    if (have + add + 1 >= size) return false;
    memcpy(text + have, name, add);
    text[have + add] = ' ';
    text[have + add + 1] = 0;
    return true;
}

}  // namespace

// The code page conversion lives with the file-call wrappers.
static void display_charset(char *path, uint32_t size) {
    if (config.charset == CHARSET_UTF8) codepage_convert(CODEPAGE_FROM_UTF8, config.codepage, path, size);
}

void clnt_display_path(char *path, uint32_t size) {
    display_charset(path, size);
    if (path[0] != '/') return;
    for (char *c = path + 1; *c; c++)
        if (*c == '/') *c = '\\';
    if (path[1] == '\\') {  // "//server/share": a UNC path
        path[0] = '\\';
        return;
    }
    char letter = path[1];
    if (ascii_is_letter(letter) && (path[2] == '\\' || path[2] == 0)) {
        bool only_letter = path[2] == 0;
        path[0] = config.lowercase ? ascii_lower(letter) : letter;
        path[1] = ':';
        if (only_letter && size >= 4) {
            path[2] = '\\';
            path[3] = 0;
        }
    }
}

bool pmap_dump(int udp, pmap_dump_fn fn, void *ctx) {
    uint8_t buffer[4 + QUERY_BUFFER];
    xprt xp;
    clnt_xprt_init(&xp, buffer, QUERY_BUFFER);
    reply_reader r;
    if (!query(&xp, PMAP_PROG, PMAP_VERS, PMAP_DUMP, udp, PMAP_PORT, &r)) return false;
    while (r.left >= 20) {
        uint32_t follows, prog, vers, prot, port;
        read_word(&r, &follows);
        read_word(&r, &prog);
        read_word(&r, &vers);
        read_word(&r, &prot);
        read_word(&r, &port);
        if (!follows) break;
        if (!prog && !vers && !(prot & 0xFFFF) && !(port & 0xFFFF)) break;
        fn(ctx, prog, vers, prot, port);
    }
    return true;
}

bool mount_dump(int udp, mount_dump_fn fn, void *ctx) {
    uint8_t buffer[4 + QUERY_BUFFER];
    xprt xp;
    clnt_xprt_init(&xp, buffer, QUERY_BUFFER);
    reply_reader r;
    if (!query(&xp, MOUNT_PROG, MOUNT_VERS, MOUNT_DUMP, udp, config.mount_port, &r)) return false;
    char host[MAX_HOST + 1];
    char dir[MAX_DIR + 1];
    uint32_t follows;
    while (read_word(&r, &follows) && follows) {
        if (!read_string(&r, host, sizeof host) || !read_string(&r, dir, sizeof dir)) break;
        clnt_display_path(dir, sizeof dir);
        fn(ctx, host, dir);
    }
    return true;
}

bool mount_exports(int udp, mount_exports_fn fn, void *ctx) {
    uint8_t buffer[4 + QUERY_BUFFER];
    xprt xp;
    clnt_xprt_init(&xp, buffer, QUERY_BUFFER);
    reply_reader r;
    if (!query(&xp, MOUNT_PROG, MOUNT_VERS, MOUNT_EXPORT, udp, config.mount_port, &r)) return false;
    char clients[CLIENTS_SIZE];
    char dir[MAX_DIR + 1];
    char group[MAX_GROUP + 1];
    char options[OPTIONS_SIZE];
    uint32_t follows;
    while (read_word(&r, &follows) && follows) {
        if (!read_string(&r, dir, sizeof dir)) break;
        clnt_display_path(dir, sizeof dir);
        options[0] = clients[0] = 0;
        bool clients_full = false;
        bool broken = false;
        while (read_word(&r, &follows) && follows) {
            if (!read_string(&r, group, sizeof group)) {
                broken = true;
                break;
            }
            // Names past a full text are read over, not shown, so that the
            // next export still starts in step.
            if (group[0] == '-')
                append_word(options, sizeof options, group);
            else if (!clients_full)
                clients_full = !append_word(clients, sizeof clients, group);
        }
        fn(ctx, dir, options, clients);
        if (broken) break;
    }
    return true;
}
