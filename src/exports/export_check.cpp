// Which export a mount path names and whether a client may mount it; and
// the WebNFS lookup that starts from the public handle instead of a mount.

#include <cstdio>
#include <cstring>

#include "inode/inode.h"
#include "exports/exports_internal.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "platform/ascii.h"
#include "platform/bytes.h"
#include "platform/net.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr size_t PUBLIC_HANDLE_SIZE = 32;
constexpr unsigned char NATIVE_PATH = 0x80;  // RFC 2055: the rest is a server path

// Rewrites an alias at the front of `path` to the export name, when the
// alias applies to this path. False when the rewritten path would not fit
// the caller's buffer: such a path is left alone and names no export.
bool apply_alias(const export_entry *e, const char *export_name, char *path) {
    size_t alias = strlen(e->name);
    size_t length = strlen(path);
    if (length < alias || memcmp(path, e->name, alias) != 0) return true;
    char next = path[alias];
    if (!(next == 0 || (next == '/' && (export_load(e->flags) & EXP_ALLDIRS)))) return true;
    size_t name_length = strlen(export_name);
    size_t total = name_length + (length - alias);
    if (total >= EXPORT_PATH_BUFFER) return false;
    char rewritten[EXPORT_PATH_BUFFER];
    memcpy(rewritten, export_name, name_length);
    memcpy(rewritten + name_length, path + alias, length - alias + 1);
    log_printf(LOG_DETAIL, "mountd: name %s --> %s\n", path + 1, rewritten);
    memcpy(path, rewritten, total + 1);
    return true;
}

bool path_matches(const export_entry *e, const char *export_name, const char *path) {
    size_t name_length = strlen(export_name);
    if ((export_load(e->flags) & EXP_ALLDIRS) && strlen(path) > name_length &&
        path[name_length] == '/' && memcmp(path, export_name, name_length) == 0)
        return true;
    return strcmp(path, export_name) == 0;
}

bool client_admitted(const export_entry *e, uint32_t client) {
    if (e->client_count == 0) return true;
    if (export_load(e->flags) & EXP_RANGE) {
        uint32_t c = ntohl(client);
        for (int i = 0; i + 1 < e->client_count; i += 2)
            if (ntohl(e->clients[i]) <= c && c <= ntohl(e->clients[i + 1])) return true;
        return false;
    }
    for (int i = 0; i < e->client_count; i++)
        if (e->clients[i] == client) return true;
    return false;
}

void log_access_denied(const char *path, uint32_t client) {
    log_printf(LOG_DETAIL, "mountd: access denied %s clnt %x\n", path, export_address_logged(client));
}

}  // namespace

uint32_t export_address_logged(uint32_t client) {
    return load_le32(reinterpret_cast<const uint8_t *>(&client));
}

int export_check(char *path, uint32_t client, export_entry **entry) {
    int result = EXPORT_NOENT;
    export_entry *refused = nullptr;
    for (export_entry *e = export_list; e; e = e->next) {
        char name[EXPORT_TEXT_MAX];
        export_name(e->path, name);
        if (e->name && !apply_alias(e, name, path)) {
            result = EXPORT_NOENT;
            break;
        }
        if (!path_matches(e, name, path)) continue;
        if (client_admitted(e, client)) {
            *entry = e;
            return EXPORT_OK;
        }
        result = EXPORT_ACCES;
        refused = e;
    }
    if (result == EXPORT_ACCES) {
        *entry = refused;
        log_access_denied(path, client);
    } else {
        log_printf(LOG_DETAIL, "mountd: path not in exports list %s\n", path);
    }
    return result;
}

bool export_admits(const export_entry *e, uint32_t client) {
    if (client_admitted(e, client)) return true;
    char name[EXPORT_TEXT_MAX];
    export_name(e->path, name);
    log_access_denied(name, client);
    return false;
}

namespace {

// The WebNFS name in Windows form in `work` (NFS_PATH_MAX bytes), and in
// *rest what of it lies below the public export `e`: a native path
// ('/c/data/x' or RFC 2055's 0x80 form) must lie inside the export; any
// other name is relative to it. 0, or the status to answer.
uint32_t webnfs_rest(const export_entry *e, const char *name, char *work, char **rest) {
    size_t n = strlen(name);
    if (n >= NFS_PATH_MAX) return NFSERR_NAMETOOLONG;
    memcpy(work, name, n);
    work[n] = 0;
    *rest = work;
    bool native = (unsigned char)work[0] == NATIVE_PATH;
    if (work[0] == '/') {
        // '/c/data/x' becomes 'c:\data\x'.
        if (n < 2) return NFSERR_PERM;
        for (char *p = work + 1; *p; p++)
            if (*p == '/') *p = '\\';
        work[0] = work[1];
        work[1] = ':';
        native = true;
    } else if (native) {
        *rest = work + 1;
    } else {
        for (char *p = work + 1; *p; p++)
            if (*p == '/') *p = '\\';
    }
    if (!native) return NFS_OK;
    char *r = *rest;
    if (config.lowercase && r[0] && r[1] == ':') r[0] = ascii_lower(r[0]);
    size_t root = strlen(e->path);
    if (strncmp(r, e->path, root) != 0 || (r[root] != 0 && r[root] != '\\')) return NFSERR_PERM;
    r += root;
    if (*r == '\\') r++;
    *rest = r;
    return NFS_OK;
}

}  // namespace

uint32_t webnfs_lookup(const uint8_t *handle, const char *name, export_entry **entry,
                       uint32_t *inode, char *path) {
    static const uint8_t public_handle[PUBLIC_HANDLE_SIZE] = {};
    if (!export_public_seen || memcmp(handle, public_handle, PUBLIC_HANDLE_SIZE) != 0)
        return NFSERR_STALE;
    export_entry *e = export_list;
    while (e && !(export_load(e->flags) & EXP_PUBLIC)) e = e->next;
    if (!e) {
        log_printf(LOG_DETAIL, "mountd: webnfs access denied\n");
        return NFSERR_ACCES;
    }
    char work[NFS_PATH_MAX];
    char *rest;
    uint32_t status = webnfs_rest(e, name, work, &rest);
    if (status != NFS_OK) return status;

    // A root that found no record in the table (it was full) has no handle.
    uint32_t current = e->root_inode;
    if (current == 0) return NFSERR_PERM;
    snprintf(path, NFS_PATH_MAX, "%s", e->path);
    while (*rest) {
        char *component = rest;
        char *end = strchr(rest, '\\');
        if (end) {
            *end = 0;
            rest = end + 1;
        } else {
            rest += strlen(rest);
        }
        if (component[0] == 0 || strcmp(component, ".") == 0) continue;
        if (strcmp(component, "..") == 0) {
            current = inode_parent(e->root_inode, e->path, current, path);
        } else {
            size_t at = strlen(path) + 1;
            status = nfs_add_name(e, path, component);
            if (status != NFS_OK) return status;
            // The name as appended: -lowercase may have changed it.
            current = inode_lookup(current, path + at);
        }
        if (current == 0) return NFSERR_PERM;
    }
    *entry = e;
    *inode = current;
    return NFS_OK;
}
