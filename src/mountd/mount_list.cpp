// The DUMP and EXPORT replies, and the address texts of the mount service.
// Both replies go into the transport's message area, which is small (1312
// bytes for the mount transports), so each encoder is given the room left
// after the reply header and ends its list early rather than overrun it:
// the reply stays a well-formed list with its end words.
#include <cstdio>
#include <cstring>

#include "mountd/mount_internal.h"

namespace {

constexpr uint32_t HOST_STRING_MAX = 512;  // the mountlist's host name
constexpr uint32_t DIR_STRING_MAX = 1024;  // dirpath and the exportlist's names
constexpr uint32_t DUMP_ENTRY_LIMIT = 800;
constexpr uint32_t DUMP_ENTRY_OVERHEAD = 16;  // counted with host and path against the limit
constexpr uint32_t XDR_WORD = 4;
constexpr uint32_t OPTION_TEXTS_MAX = 9;
constexpr uint32_t OPTION_TEXT_SIZE = 32;

// Bytes of a string of n bytes (cut to max) on the wire.
uint32_t string_size(size_t n, uint32_t max) {
    uint32_t kept = n < max ? uint32_t(n) : max;
    return XDR_WORD + kept + xdr_pad(kept);
}

void put_string(xdr_out *o, const char *text, uint32_t max) {
    uint32_t n = uint32_t(strlen(text));
    xdr_opaque(o, text, n < max ? n : max);
}

// The texts that show an export's options in the EXPORT reply, in order.
// They are not the exports file's spelling: read-only is always "-readonly",
// and uid and gid are separated by a comma.
uint32_t option_texts(const export_entry *e, char texts[OPTION_TEXTS_MAX][OPTION_TEXT_SIZE]) {
    uint32_t flags = export_load(e->flags);
    uint32_t n = 0;
    auto add = [&](const char *text) { snprintf(texts[n++], OPTION_TEXT_SIZE, "%s", text); };
    auto add_ids = [&](const char *name, uint32_t uid, uint32_t gid, bool with_gid) {
        if (with_gid)
            snprintf(texts[n++], OPTION_TEXT_SIZE, "-%s:%d,%d", name, int(uid), int(gid));
        else
            snprintf(texts[n++], OPTION_TEXT_SIZE, "-%s:%d", name, int(uid));
    };
    if (flags & EXP_READONLY) add("-readonly");
    if (flags & EXP_ALLDIRS) add("-alldirs");
    if (flags & EXP_PUBLIC) add("-public");
    if (flags & EXP_LOWERCASE) add("-lowercase");
    if (flags & EXP_UMASK) snprintf(texts[n++], OPTION_TEXT_SIZE, "-umask:0%o", e->umask);
    if (flags & (EXP_MAPROOT_UID | EXP_MAPROOT_GID))
        add_ids("maproot", e->maproot_uid, e->maproot_gid, flags & EXP_MAPROOT_GID);
    if (flags & (EXP_MAPALL_UID | EXP_MAPALL_GID))
        add_ids("mapall", e->mapall_uid, e->mapall_gid, flags & EXP_MAPALL_GID);
    if (flags & EXP_RANGE) add("-range");
    return n;
}

// One export of the EXPORT reply within the room left, keeping the list's
// end word free. False, with nothing written, when not even the name and
// the options fit (the list ends before this export).
bool encode_export(xdr_out *o, const export_entry *e) {
    char dir[DIR_STRING_MAX + 1];
    if (e->name)
        snprintf(dir, sizeof dir, "%s", e->name);
    else
        export_name(e->path, dir);
    char texts[OPTION_TEXTS_MAX][OPTION_TEXT_SIZE];
    uint32_t count = option_texts(e, texts);
    uint32_t tail = XDR_WORD;  // the options and the end of the groups
    for (uint32_t i = 0; i < count; i++) tail += XDR_WORD + string_size(strlen(texts[i]), DIR_STRING_MAX);
    uint32_t head = XDR_WORD + string_size(strlen(dir), DIR_STRING_MAX);
    uint32_t room = xdr_out_room(o);
    if (uint64_t(head) + tail + XDR_WORD > room) return false;

    xdr_u32(o, 1);
    put_string(o, dir, DIR_STRING_MAX);
    uint32_t len = head;
    // The clients that fit; the options always follow them.
    for (int32_t i = 0; i < e->client_count; i++) {
        char dotted[16];
        mount_dotted(e->clients[i], dotted);
        uint32_t need = XDR_WORD + string_size(strlen(dotted), DIR_STRING_MAX);
        if (uint64_t(len) + need + tail + XDR_WORD > room) break;
        xdr_u32(o, 1);
        put_string(o, dotted, DIR_STRING_MAX);
        len += need;
    }
    for (uint32_t i = 0; i < count; i++) {
        xdr_u32(o, 1);
        put_string(o, texts[i], DIR_STRING_MAX);
    }
    xdr_u32(o, 0);
    return true;
}

}  // namespace

void mount_dotted(uint32_t client, char out[16]) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&client);
    snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void mountlist_encode(xdr_out *o) {
    std::lock_guard<std::mutex> hold(mount_lock());
    for (const mount_entry *e = mount_table_head(); e; e = e->next) {
        char dotted[16];
        const char *host = e->host;
        if (!host[0]) {
            mount_dotted(e->client, dotted);
            host = dotted;
        }
        size_t host_length = strlen(host), path_length = strlen(e->path);
        if (host_length + path_length + DUMP_ENTRY_OVERHEAD > DUMP_ENTRY_LIMIT) break;
        uint32_t need = XDR_WORD + string_size(host_length, HOST_STRING_MAX) +
                        string_size(path_length, DIR_STRING_MAX);
        if (uint64_t(need) + XDR_WORD > xdr_out_room(o)) break;
        xdr_u32(o, 1);
        put_string(o, host, HOST_STRING_MAX);
        put_string(o, e->path, DIR_STRING_MAX);
    }
    xdr_u32(o, 0);
}

void exports_encode(xdr_out *o, const export_entry *first) {
    for (const export_entry *e = first; e; e = e->next)
        if (!encode_export(o, e)) break;
    xdr_u32(o, 0);
}
