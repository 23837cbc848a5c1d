// The exports file: one export per line, "drive:path -options clients".
// Every malformed line is reported with its problem number and line number
// and skipped; the reader accepts any byte sequence.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/fs.h"
#include "inode/inode.h"
#include "exports/exports_internal.h"
#include "exports/exports_words.h"
#include "names/name.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr const char *SUBKEY = "nfsd";

// Problem numbers, as "ExpError" reports them.
constexpr uint32_t PROBLEM_OPEN = EXPORT_PROBLEM_OPEN;
constexpr uint32_t PROBLEM_DRIVE = 22;
constexpr uint32_t PROBLEM_PATH = 23;
constexpr uint32_t PROBLEM_DRIVE_TYPE = 24;
constexpr uint32_t PROBLEM_OPTION = 25;
constexpr uint32_t PROBLEM_CLIENT = 26;
constexpr uint32_t PROBLEM_CLIENTS = 27;

constexpr uint32_t TYPE_UNKNOWN = 0;
constexpr uint32_t TYPE_NO_ROOT = 1;
constexpr uint32_t TYPE_REMOTE = 4;

constexpr uint32_t DEFAULT_UMASK = 022;
constexpr uint32_t NOBODY = 65534;
// An alias is converted within this many bytes, so that "/" and it fit.
constexpr uint32_t ALIAS_MAX = 1019;

struct reader_state {
    exp_reader r;
    uint32_t line;
    uint32_t problem;  // the last one, for "ExpError"/"ExpLine"
    uint32_t problem_line;
    bool public_seen;
    bool duplicate;
    export_problems *problems;  // may be null
};

// A problem of line `line`: its log line ("mountd: " and the text) and its
// place in the caller's list; the last numbered one goes to "ExpError".
void report(reader_state *p, uint32_t number, uint32_t line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

void report(reader_state *p, uint32_t number, uint32_t line, const char *format, ...) {
    char text[EXP_WORD_MAX + 64];  // room for the longest word in the line
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    log_printf(LOG_EVENT, "mountd: %s\n", text);
    if (number == EXPORT_PROBLEM_DUPLICATE) {
        p->duplicate = true;
    } else {
        p->problem = number;
        p->problem_line = line;
    }
    export_problems *list = p->problems;
    if (!list) return;
    if (list->count >= EXPORT_PROBLEMS_MAX) {
        list->dropped++;
        return;
    }
    export_problem *x = &list->list[list->count++];
    x->number = number;
    x->line = line;
    size_t n = strnlen(text, sizeof x->text - 1);  // a long word is cut here, not in the log
    memcpy(x->text, text, n);
    x->text[n] = 0;
}

// After a problem: the rest of the line goes, unless the word that caused
// it was the line end itself. Leaves the reader on the next word.
void skip_rest(reader_state *p) {
    if (p->r.kind == EXP_WORD_EOL) {
        p->line++;
    } else if (p->r.kind != EXP_WORD_EOF && exp_skip_line(&p->r)) {
        p->line++;
    }
    if (p->r.kind != EXP_WORD_EOF) exp_next_word(&p->r);
}

// A whole decimal number that may be negative, as "%d" reads it; `end`
// receives what follows. False when no digit is there.
bool read_int(const char *s, long *value, const char **end) {
    char *stop;
    long long v = strtoll(s, &stop, 10);
    if (stop == s) return false;
    *value = (long)(v & 0xFFFFFFFF);
    *end = stop;
    return true;
}

// "uid" or "uid:gid" of -maproot: and -mapall:. Answers how many ids read.
int read_ids(const char *s, uint32_t *uid, uint32_t *gid) {
    long v;
    const char *end;
    if (!read_int(s, &v, &end)) return 0;
    *uid = (uint32_t)v & 0xFFFF;
    if (*end != ':' || !read_int(end + 1, &v, &end)) return 1;
    *gid = (uint32_t)v & 0xFFFF;
    return 2;
}

// Copies `prefix` and `text` into `out` of `size` bytes, cutting the text.
void join(char *out, size_t size, const char *prefix, const char *text) {
    size_t p = strlen(prefix);
    size_t t = strnlen(text, size - 1 - p);
    memcpy(out, prefix, p);
    memcpy(out + p, text, t);
    out[p + t] = 0;
}

bool starts(const char *word, const char *prefix, const char **arg) {
    size_t n = strlen(prefix);
    if (strncmp(word, prefix, n) != 0) return false;
    *arg = word + n;
    return true;
}

// Applies one option word (without its '-'); false when it is unknown.
bool apply_option(reader_state *p, export_slot *s, const char *w) {
    export_entry *e = &s->entry;
    const char *arg;
    if (!strcmp(w, "ro") || !strcmp(w, "readonly")) {
        e->flags |= EXP_READONLY;
    } else if (!strcmp(w, "lowercase")) {
        e->flags |= EXP_LOWERCASE;
    } else if (!strcmp(w, "alldirs")) {
        e->flags |= EXP_ALLDIRS;
    } else if (!strcmp(w, "public")) {
        e->flags |= EXP_PUBLIC;
        p->public_seen = true;
    } else if (!strcmp(w, "webnfs")) {
        e->flags |= EXP_READONLY | EXP_PUBLIC | EXP_MAPALL_UID;
        e->mapall_uid = e->mapall_gid = NOBODY;
        p->public_seen = true;
    } else if (!strcmp(w, "range")) {
        e->flags |= EXP_RANGE;
    } else if (starts(w, "umask:", &arg)) {
        // "%i": decimal, 0-prefixed octal or 0x-prefixed hexadecimal.
        char *stop;
        long long v = strtoll(arg, &stop, 0);
        if (stop != arg) {
            e->umask = (uint32_t)v & 077;
            e->flags |= EXP_UMASK;
        }
    } else if (starts(w, "maproot:", &arg)) {
        int n = read_ids(arg, &e->maproot_uid, &e->maproot_gid);
        if (n >= 1) e->flags |= EXP_MAPROOT_UID;
        if (n == 2) e->flags |= EXP_MAPROOT_GID;
    } else if (starts(w, "mapall:", &arg)) {
        int n = read_ids(arg, &e->mapall_uid, &e->mapall_gid);
        if (n >= 1) e->flags |= EXP_MAPALL_UID;
        if (n == 2) e->flags |= EXP_MAPALL_GID;
    } else if (starts(w, "name:", &arg)) {
        if (strstr(arg, ":\\") || arg[0] == '/') return true;  // a path, not an alias
        char alias[ALIAS_MAX];
        join(alias, sizeof alias, "", arg);
        if (config.charset == CHARSET_UTF8) codepage_convert(CODEPAGE_TO_UTF8, config.codepage, alias, sizeof alias);
        join(s->name, sizeof s->name, "/", alias);
        e->name = s->name;
    } else {
        return false;
    }
    return true;
}

// Four decimal parts of at most 255 and nothing after them.
bool parse_dotted(const char *w, uint32_t *address) {
    uint32_t value = 0;
    const char *p = w;
    for (int part = 0; part < 4; part++) {
        if (*p < '0' || *p > '9') return false;
        uint32_t v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (uint32_t)(*p++ - '0');
            if (v > 255) return false;
        }
        value = value << 8 | v;
        if (part < 3 && *p++ != '.') return false;
    }
    if (*p) return false;
    *address = htonl(value);
    return true;
}

// A client word as an address in network order: dotted, or the first
// address of the host of that name.
bool client_address(const char *w, uint32_t *address) {
    if (parse_dotted(w, address) && *address != 0 && *address != 0xFFFFFFFF) return true;
    return net_host_address(w, address);
}

// One export, from its drive word up to the word after it, which the
// reader holds on return.
void read_entry(reader_state *p) {
    exp_reader *r = &p->r;
    uint32_t first_line = p->line;
    export_slot *s = export_slot_fresh();
    if (!s) {  // never: the caller stops at a full table
        skip_rest(p);
        return;
    }
    export_entry *e = &s->entry;
    bool network = r->kind == EXP_WORD_NETDRIVE;
    char letter = r->text[0];

    if (exp_next_word(r) != EXP_WORD_PATH || r->refused || (network && r->length < 4)) {
        report(p, PROBLEM_PATH, p->line, "Line %u ignored, expected path", p->line);
        skip_rest(p);
        return;
    }
    const char drive[3] = {letter, ':', 0};
    join(s->path, sizeof s->path, network ? "\\" : drive, r->text);
    e->umask = DEFAULT_UMASK;
    // Every trailing separator goes (Windows takes '/' for one too):
    // "c:\\" is the same export as "c:", and its name must not end in "/".
    size_t length = strlen(s->path);
    while (length > 0 && (s->path[length - 1] == '\\' || s->path[length - 1] == '/'))
        s->path[--length] = 0;

    char root[EXPORT_TEXT_MAX];
    volume_root(s->path, root);
    uint32_t type = fs_drive_type(root);
    if (type == TYPE_UNKNOWN || type == TYPE_NO_ROOT || (type == TYPE_REMOTE && !config.remote)) {
        report(p, PROBLEM_DRIVE_TYPE, p->line, "Line %u ignored, unsupported drive type", p->line);
        skip_rest(p);
        return;
    }
    e->drive_type = type;
    // Clients send UTF-8 names; the file is written in the code page.
    if (config.charset == CHARSET_UTF8) codepage_convert(CODEPAGE_TO_UTF8, config.codepage, s->path, sizeof s->path);

    while (exp_next_word(r) == EXP_WORD_OPTION) {
        if (r->refused || !apply_option(p, s, r->text)) {
            report(p, PROBLEM_OPTION, p->line, "Line %u ignored, unknown option: %s", p->line, r->text);
            skip_rest(p);
            return;
        }
    }

    // Clients; the list may go on over following lines, each of which
    // begins with a client word.
    int stored = 0;
    uint32_t counted = 0;
    while (r->kind == EXP_WORD_CLIENT) {
        uint32_t address;
        if (r->refused || !client_address(r->text, &address)) {
            report(p, PROBLEM_CLIENT, p->line, "Line %u, invalid client: %s", p->line, r->text);
            skip_rest(p);
            return;
        }
        if (stored < EXPORT_MAX_CLIENTS) s->clients[stored++] = address;
        if (counted <= EXPORT_MAX_CLIENTS) counted++;
        if (exp_next_word(r) == EXP_WORD_EOL) {
            p->line++;
            exp_next_word(r);
        }
    }
    if ((e->flags & EXP_RANGE) && stored % 2 == 1) {
        s->clients[stored] = s->clients[stored - 1];  // one address is a range of one
        stored++;
    }
    if (counted > EXPORT_MAX_CLIENTS)
        report(p, PROBLEM_CLIENTS, first_line, "Line %u truncated, too many clients", first_line);
    e->client_count = stored;

    e->root_inode = inode_path_lookup(s->path);
    export_volume_refresh(e);
    uint8_t signature[2 * EXPORT_TEXT_MAX + 4 * EXPORT_MAX_CLIENTS];
    e->export_id = export_crc32(signature, export_signature(e, signature, sizeof signature));
    if (!export_append(s))
        report(p, EXPORT_PROBLEM_DUPLICATE, first_line, "duplicate exports line %u ignored", first_line);
}

void read_file(reader_state *p) {
    exp_reader *r = &p->r;
    exp_next_word(r);
    while (export_count() < EXPORT_MAX) {
        switch (r->kind) {
            case EXP_WORD_EOF:
                return;
            case EXP_WORD_EOL:
                p->line++;
                exp_next_word(r);
                break;
            case EXP_WORD_DRIVE:
            case EXP_WORD_NETDRIVE:
                read_entry(p);
                break;
            default:
                report(p, PROBLEM_DRIVE, p->line, "Line %u ignored, expected drive", p->line);
                skip_rest(p);
                break;
        }
    }
}

}  // namespace

bool exports_read(exports_purpose purpose, export_problems *problems) {
    static reader_state state;  // 1 KiB word buffer: keep it off the stack
    reader_state *p = &state;
    p->line = 0;
    p->problem = 0;
    p->problem_line = 0;
    p->public_seen = false;
    p->duplicate = false;
    p->problems = problems;
    if (problems) {
        problems->count = 0;
        problems->dropped = 0;
    }
    bool settings = purpose != EXPORTS_CHECK;
    if (settings) {
        reg_write_number(SUBKEY, "ExpError", 0, 0);
        reg_write_number(SUBKEY, "ExpLine", 0, 0);
    }
    export_build_begin();

    char file_name[EXPORT_TEXT_MAX + 16];
    uint32_t n = program_directory(file_name, EXPORT_TEXT_MAX);
    FILE *f = nullptr;
    if (n > 0) {
        snprintf(file_name + n, sizeof file_name - n, "exports");
        f = fopen(file_name, "rb");
    }
    if (!f) {
        report(p, PROBLEM_OPEN, 0, "Cannot open exports file");
    } else {
        log_printf(LOG_EVENT, "\n------ Exported file systems ------\n");
        exp_reader_init(&p->r, f);
        p->line = 1;
        read_file(p);
        fclose(f);
        log_printf(LOG_EVENT, "-----------------------------------\n\n");
        log_flush();
    }
    // Only the last problem remains, so it is stored once, at the end.
    if (settings && p->problem) {
        reg_write_number(SUBKEY, "ExpError", p->problem, 0);
        if (p->problem_line) reg_write_number(SUBKEY, "ExpLine", p->problem_line, 0);
    }
    if (purpose == EXPORTS_RELOAD && (p->problem || p->duplicate)) return false;
    export_publish(p->public_seen);
    return true;
}
