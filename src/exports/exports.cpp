// The exports file: one export per line, "drive:path -options clients".
// Every malformed line is reported with its problem number and line number
// and skipped; the reader accepts any byte sequence.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fs/fs.h"
#include "inode/inode.h"
#include "exports/exports_internal.h"
#include "exports/exports_words.h"
#include "names/name.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "rpc/rpc.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr const char *SUBKEY = "nfsd";

constexpr uint32_t TYPE_UNKNOWN = 0;
constexpr uint32_t TYPE_NO_ROOT = 1;
constexpr uint32_t TYPE_REMOTE = 4;

constexpr uint32_t DEFAULT_UMASK = 022;
// An alias is converted within this many bytes, so that "/" and it fit.
constexpr uint32_t ALIAS_MAX = 1019;

// Each problem's text as the settings page shows it in English, and its log
// line (the word concerned fills "%s"; lines without "%s" leave it out).
struct problem_text {
    uint32_t number;
    const char *text;
    const char *log;
};
const problem_text problem_texts[] = {
    {EXPORTS_DUPLICATE, "Line %u ignored, duplicate export",
     "mountd: duplicate exports line %u ignored\n"},
    {EXPORTS_CANNOT_OPEN, "Cannot open exports file.", "mountd: Cannot open exports file\n"},
    {EXPORTS_EXPECTED_DRIVE, "Line %u ignored, expected drive",
     "mountd: Line %u ignored, expected drive\n"},
    {EXPORTS_EXPECTED_PATH, "Line %u ignored, expected path",
     "mountd: Line %u ignored, expected path\n"},
    {EXPORTS_DRIVE_TYPE, "Line %u ignored, unsupported drive type",
     "mountd: Line %u ignored, unsupported drive type\n"},
    {EXPORTS_UNKNOWN_OPTION, "Line %u ignored, unknown option",
     "mountd: Line %u ignored, unknown option: %s\n"},
    {EXPORTS_INVALID_CLIENT, "Line %u, invalid client", "mountd: Line %u, invalid client: %s\n"},
    {EXPORTS_TOO_MANY_CLIENTS, "Line %u truncated, too many clients",
     "mountd: Line %u truncated, too many clients\n"},
    {EXPORTS_UNTERMINATED_QUOTE, "Line %u ignored, unterminated quote",
     "mountd: Line %u ignored, unterminated quote\n"},
    {EXPORTS_NO_DIRECTORY, "Line %u, directory does not exist",
     "mountd: Line %u, directory does not exist: %s\n"},
};

const problem_text *text_of(uint32_t number) {
    for (const problem_text &t : problem_texts)
        if (t.number == number) return &t;
    return nullptr;
}

struct reader_state {
    exp_reader r;
    uint32_t line;
    bool check;              // only list the problems (exports_check)
    exports_report *report;  // or null
    uint32_t problem;        // the last one, for "ExpError"/"ExpLine"
    uint32_t problem_line;
    uint32_t made;                // entries made so far
    uint32_t made_ids[EXPORT_MAX];  // their export ids, for a check's duplicates
};

// Records a problem: the last one for the settings, every one in the report,
// and its log line (not while only checking).
void note(reader_state *p, uint32_t number, uint32_t line, const char *detail = "") {
    // The two that do not stop an export stay out of the settings, which
    // name the last line the reader refused or cut.
    if (number != EXPORTS_DUPLICATE && number != EXPORTS_NO_DIRECTORY) {
        p->problem = number;
        p->problem_line = line;
    }
    if (exports_report *rep = p->report) {
        if (rep->count < EXPORTS_PROBLEMS_MAX) {
            exports_problem &e = rep->problems[rep->count];
            e.number = number;
            e.line = line;
            snprintf(e.detail, sizeof e.detail, "%s", detail);
        }
        rep->count++;
    }
    const problem_text *t = text_of(number);
    if (!p->check && t) log_printf(LOG_EVENT, t->log, line, detail);
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

// Applies one option word (without its '-'); false when it is unknown. A
// check only looks: it leaves the server-wide public flag alone.
bool apply_option(export_slot *s, const char *w, bool check) {
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
        if (!check) export_public_seen = true;
    } else if (!strcmp(w, "webnfs")) {
        e->flags |= EXP_READONLY | EXP_PUBLIC | EXP_MAPALL_UID;
        e->mapall_uid = e->mapall_gid = RPC_ANON_ID;
        if (!check) export_public_seen = true;
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

// The slot a check fills: entries it makes are never listed.
export_slot *check_slot() {
    static export_slot scratch;
    memset(&scratch, 0, sizeof scratch);
    scratch.entry.path = scratch.path;
    scratch.entry.clients = scratch.clients;
    return &scratch;
}

bool already_made(const reader_state *p, uint32_t id) {
    for (uint32_t i = 0; i < p->made; i++)
        if (p->made_ids[i] == id) return true;
    return false;
}

// Whether the export's directory is there now ("c:" is the drive's root).
bool directory_exists(const char *path) {
    char dir[EXPORT_TEXT_MAX + 2];
    snprintf(dir, sizeof dir, strlen(path) == 2 ? "%s\\" : "%s", path);
    uint32_t attributes = fs_get_attributes(dir);
    return attributes != FS_INVALID_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One export, from its drive word up to the word after it, which the
// reader holds on return.
void read_entry(reader_state *p) {
    exp_reader *r = &p->r;
    uint32_t first_line = p->line;
    export_slot *s = p->check ? check_slot() : export_slot_fresh();
    if (!s) {  // never: the caller stops at a full table
        skip_rest(p);
        return;
    }
    export_entry *e = &s->entry;
    bool network = r->kind == EXP_WORD_NETDRIVE;
    char letter = r->text[0];

    if (exp_next_word(r) != EXP_WORD_PATH || r->refused || (network && r->length < 4)) {
        if (r->unterminated)
            note(p, EXPORTS_UNTERMINATED_QUOTE, p->line, r->text);
        else
            note(p, EXPORTS_EXPECTED_PATH, p->line);
        skip_rest(p);
        return;
    }
    if (r->unterminated) {
        note(p, EXPORTS_UNTERMINATED_QUOTE, p->line, r->text);
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
        char why[EXPORT_TEXT_MAX + 48];
        if (type == TYPE_NO_ROOT && !network)
            snprintf(why, sizeof why, "%s (drive %c: maps no directory)", s->path, letter);
        else
            snprintf(why, sizeof why, "%s", s->path);
        note(p, EXPORTS_DRIVE_TYPE, p->line, why);
        skip_rest(p);
        return;
    }
    e->drive_type = type;
    // Clients send UTF-8 names; the file is written in the code page.
    if (config.charset == CHARSET_UTF8) codepage_convert(CODEPAGE_TO_UTF8, config.codepage, s->path, sizeof s->path);

    while (exp_next_word(r) == EXP_WORD_OPTION) {
        if (r->refused || !apply_option(s, r->text, p->check)) {
            note(p, EXPORTS_UNKNOWN_OPTION, p->line, r->text);
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
            note(p, EXPORTS_INVALID_CLIENT, p->line, r->text);
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
    if (counted > EXPORT_MAX_CLIENTS) {
        note(p, EXPORTS_TOO_MANY_CLIENTS, first_line);
    }
    e->client_count = stored;

    if (!directory_exists(s->path)) note(p, EXPORTS_NO_DIRECTORY, first_line, s->path);
    // A check leaves the inode table alone: its ids only serve to find
    // duplicates among its own lines.
    if (!p->check) {
        e->root_inode = inode_path_lookup(s->path);
        export_volume_refresh(e);
    }
    uint8_t signature[2 * EXPORT_TEXT_MAX + 4 * EXPORT_MAX_CLIENTS];
    e->export_id = export_crc32(signature, export_signature(e, signature, sizeof signature));
    bool fresh = p->check ? !already_made(p, e->export_id) : export_append(s);
    if (!fresh) {
        note(p, EXPORTS_DUPLICATE, first_line);
        return;
    }
    p->made_ids[p->made++] = e->export_id;
}

void read_file(reader_state *p) {
    exp_reader *r = &p->r;
    exp_next_word(r);
    while (p->made < EXPORT_MAX) {
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
                note(p, EXPORTS_EXPECTED_DRIVE, p->line);
                skip_rest(p);
                break;
        }
    }
}


// Reads an open exports file into `p` from its first line.
void read_all(reader_state *p, FILE *f, bool check, exports_report *report) {
    exp_reader_init(&p->r, f);
    p->line = 1;
    p->check = check;
    p->report = report;
    p->problem = 0;
    p->problem_line = 0;
    p->made = 0;
    read_file(p);
    if (report) report->entries = p->made;
}

void report_clear(exports_report *report) {
    if (!report) return;
    report->count = 0;
    report->entries = 0;
}

void report_cannot_open(exports_report *report) {
    if (!report) return;
    report->problems[0] = exports_problem{EXPORTS_CANNOT_OPEN, 0, ""};
    report->count = 1;
}

// One reader at a time: its word buffer (1 KiB) and ids stay off the stack.
std::mutex reader_lock;
reader_state reader;

}  // namespace

void exports_read(exports_report *report) {
    exports_clear();
    report_clear(report);
    reg_write_number(SUBKEY, "ExpError", 0, 0);
    reg_write_number(SUBKEY, "ExpLine", 0, 0);

    char file_name[EXPORT_TEXT_MAX + 16];
    uint32_t n = program_directory(file_name, EXPORT_TEXT_MAX);
    FILE *f = nullptr;
    if (n > 0) {
        snprintf(file_name + n, sizeof file_name - n, "exports");
        f = fopen(file_name, "rb");
    }
    if (!f) {
        log_printf(LOG_EVENT, text_of(EXPORTS_CANNOT_OPEN)->log, 0u, "");
        reg_write_number(SUBKEY, "ExpError", EXPORTS_CANNOT_OPEN, 0);
        report_cannot_open(report);
        return;
    }
    log_printf(LOG_EVENT, "\n------ Exported file systems ------\n");
    std::lock_guard<std::mutex> hold(reader_lock);
    reader_state *p = &reader;
    read_all(p, f, false, report);
    fclose(f);
    log_printf(LOG_EVENT, "-----------------------------------\n\n");
    log_flush();
    // Only the last problem remains, so it is stored once, at the end.
    if (p->problem) {
        reg_write_number(SUBKEY, "ExpError", p->problem, 0);
        reg_write_number(SUBKEY, "ExpLine", p->problem_line, 0);
    }
}

bool exports_check(const char *path, exports_report *report) {
    report_clear(report);
    FILE *f = fopen(path, "rb");
    if (!f) {
        report_cannot_open(report);
        return false;
    }
    std::lock_guard<std::mutex> hold(reader_lock);
    read_all(&reader, f, true, report);
    fclose(f);
    return true;
}

void exports_problem_describe(const exports_problem *p, char *out, size_t size) {
    const problem_text *t = text_of(p->number);
    char head[160];
    snprintf(head, sizeof head, t ? t->text : "Line %u: unknown problem", p->line);
    if (p->detail[0])
        snprintf(out, size, "%s: %s", head, p->detail);
    else
        snprintf(out, size, "%s", head);
}
