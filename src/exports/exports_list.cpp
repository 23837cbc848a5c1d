// The export table: fixed slots filled in file order, the export id, the
// listing line of an entry, and the volume facts that each mount refreshes.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fs/fs.h"
#include "inode/inode.h"
#include "exports/exports_internal.h"
#include "names/name.h"
#include "platform/ascii.h"
#include "platform/net.h"
#include "base/log.h"

export_entry *export_list = nullptr;
bool export_public_seen = false;

namespace {

export_slot slots[EXPORT_MAX];
int slot_count = 0;

// File system flags of the volume information call.
constexpr uint32_t FS_CASE_SENSITIVE_SEARCH = 1;
constexpr uint32_t FS_CASE_PRESERVED_NAMES = 2;

// The listing line never holds more than path, alias, options and 128
// addresses; this leaves ample room.
constexpr size_t LISTING_MAX = 8192;

void append(char *buf, size_t size, size_t *at, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

void append(char *buf, size_t size, size_t *at, const char *format, ...) {
    if (*at >= size) return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf + *at, size - *at, format, ap);
    va_end(ap);
    if (n > 0) *at = (*at + (size_t)n < size) ? *at + (size_t)n : size - 1;
}

// "%8.8x path  -options  clients", as the log shows the list.
void log_entry(const export_entry *e) {
    char line[LISTING_MAX];
    size_t at = 0;
    append(line, sizeof line, &at, "%8.8x %s", e->export_id, e->path);
    size_t width = strlen(e->path);
    if (width == 2) {
        append(line, sizeof line, &at, "\\");
        width++;
    }
    for (; width < 12; width++) append(line, sizeof line, &at, " ");
    uint32_t f = e->flags;
    if (e->name) append(line, sizeof line, &at, " -name:%s", e->name + 1);
    if (f & EXP_READONLY) append(line, sizeof line, &at, " -ro");
    if (f & EXP_LOWERCASE) append(line, sizeof line, &at, " -lowercase");
    if (f & EXP_PUBLIC) append(line, sizeof line, &at, " -public");
    if (f & EXP_ALLDIRS) append(line, sizeof line, &at, " -alldirs");
    if (f & EXP_UMASK) append(line, sizeof line, &at, " -umask:0%o", e->umask);
    if (f & EXP_MAPROOT_UID) {
        append(line, sizeof line, &at, " -maproot:%d", (int)e->maproot_uid);
        if (f & EXP_MAPROOT_GID) append(line, sizeof line, &at, ":%d", (int)e->maproot_gid);
    }
    if (f & EXP_MAPALL_UID) {
        append(line, sizeof line, &at, " -mapall:%d", (int)e->mapall_uid);
        if (f & EXP_MAPALL_GID) append(line, sizeof line, &at, ":%d", (int)e->mapall_gid);
    }
    if (f & EXP_RANGE) append(line, sizeof line, &at, " -range");
    if (e->client_count > 0) {
        append(line, sizeof line, &at, " ");
        for (int i = 0; i < e->client_count; i++) {
            char dotted[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &e->clients[i], dotted, sizeof dotted);
            append(line, sizeof line, &at, " %s", dotted);
        }
    }
    log_printf(LOG_EVENT, "%s\n", line);
}

}  // namespace

export_slot *export_slot_fresh() {
    if (slot_count >= EXPORT_MAX) return nullptr;
    export_slot *s = &slots[slot_count];
    memset(s, 0, sizeof *s);
    s->entry.path = s->path;
    s->entry.clients = s->clients;
    return s;
}

int export_count() {
    return slot_count;
}

void exports_clear() {
    slot_count = 0;
    export_list = nullptr;
    export_public_seen = false;
}

uint32_t export_crc32(const uint8_t *data, size_t length) {
    static const uint32_t *table = [] {
        static uint32_t t[256];
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

size_t export_signature(const export_entry *e, uint8_t *buf, size_t size) {
    int n = snprintf((char *)buf, size, "%s/%u/%u/%u/%u/%x/%u,%u/%u,%u", e->path, e->root_inode,
                     e->drive_type, e->volume_serial, e->max_name, e->flags, e->maproot_uid,
                     e->maproot_gid, e->mapall_uid, e->mapall_gid);
    size_t clients = (size_t)(e->client_count > 0 ? e->client_count : 0) * 4;
    if (n < 0 || (size_t)n + clients > size) return 0;
    if (clients) memcpy(buf + n, e->clients, clients);
    return (size_t)n + clients;
}

bool export_append(export_slot *slot) {
    export_entry *e = &slot->entry;
    for (export_entry *o = export_list; o; o = o->next) {
        if (o->export_id == e->export_id) return false;
    }
    log_entry(e);
    if (slot_count > 0)
        slots[slot_count - 1].entry.next = e;
    else
        export_list = e;
    slot_count++;
    return true;
}

void export_name(const char *path, char *out) {
    size_t at = 0;
    const char *p = path;
    if (p[0] && p[1] == ':') {
        out[at++] = '/';
        out[at++] = p[0];
        p += 2;
    }
    for (; *p && at < EXPORT_TEXT_MAX - 1; p++) out[at++] = *p == '\\' ? '/' : *p;
    if (at > 0 && out[at - 1] == '/') at--;
    out[at] = 0;
}

export_entry *export_find(uint32_t export_id) {
    for (export_entry *e = export_list; e; e = e->next)
        if (e->export_id == export_id) return e;
    return nullptr;
}

bool export_volume_refresh(export_entry *e) {
    char root[EXPORT_TEXT_MAX];
    volume_root(e->path, root);
    char volume_name[32] = "";
    char fs_name[32] = "";
    uint32_t serial = 0, max_component = 0, fs_flags = 0;
    if (!fs_volume_information(root, volume_name, sizeof volume_name, &serial, &max_component,
                               &fs_flags, fs_name, sizeof fs_name))
        return false;
    // Mounts refresh the entry while other threads read it: whole words
    // only, and only those that change, so a refresh of the same medium
    // writes nothing at all.
    std::atomic_ref<uint32_t> stored_serial(e->volume_serial);
    std::atomic_ref<uint32_t> stored_max(e->max_name);
    std::atomic_ref<uint32_t> flags(e->flags);
    uint32_t old = stored_serial.load();
    if (old != serial) {
        if (old != 0) inode_remove_children(e->root_inode);
        stored_serial.store(serial);
    }
    if (stored_max.load() != max_component) stored_max.store(max_component);
    uint32_t add = 0;
    if (!(fs_flags & (FS_CASE_SENSITIVE_SEARCH | FS_CASE_PRESERVED_NAMES))) add |= EXP_LOWERCASE;
    if (ascii_equal(fs_name, "NTFS"))
        add |= EXP_NTFS;
    else if (strcmp(fs_name, "FAT") == 0)
        add |= EXP_FAT;
    if ((flags.load() & add) != add) flags.fetch_or(add);
    log_printf(LOG_FULL_DETAIL, "%s type %u/%u/%s serial %u name %s\n", root, e->drive_type, max_component,
               fs_name, serial, volume_name);
    return true;
}

uint32_t nfs_add_name(const export_entry *exp, char *path, const char *name) {
    return name_append(path, name, export_load(exp->max_name),
                       (export_load(exp->flags) & EXP_LOWERCASE) != 0);
}
