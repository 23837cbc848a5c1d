// Appending a name to a directory path, with the rules Windows imposes on
// names: device names cannot be files, and volumes with short names only
// take 8.3 names.
#include "names/name.h"

#include <cstring>
#include <initializer_list>

#include "names/nfs_status.h"
#include "platform/ascii.h"
#include "base/config.h"

namespace {

// Names longer than this only exist on volumes with long names.
constexpr uint32_t SHORT_NAME_MAX = 12;

// aux, con, nul, prn and com1 to com9 name devices on Windows, whatever
// extension follows them; such a file can neither be created nor opened.
bool device_name(const char *name) {
    const char *dot = strchr(name, '.');
    size_t base = dot ? (size_t)(dot - name) : strlen(name);
    if (base == 3) {
        for (const char *d : {"aux", "con", "nul", "prn"})
            if (ascii_equal_n(name, d, 3)) return true;
    }
    return base == 4 && ascii_equal_n(name, "com", 3) && name[3] >= '1' && name[3] <= '9';
}

// 8.3: at most 8 characters before the first '.', 3 after it, no spaces.
uint32_t short_name_status(const char *name) {
    if (strchr(name, ' ')) return NFSERR_NOENT;
    const char *dot = strchr(name, '.');
    if (dot) {
        if (dot - name > 8 || strlen(dot + 1) > 3) return NFSERR_NAMETOOLONG;
    } else if (strlen(name) > 8) {
        return NFSERR_NAMETOOLONG;
    }
    return NFS_OK;
}

}  // namespace

bool name_char_valid(unsigned char c) {
    if (c < 32 || c == 127 || (c >= 128 && config.charset == CHARSET_ASCII)) return false;
    return !std::strchr("\"*/:<>?\\|", c);
}

bool name_valid(const char *name) {
    for (const auto *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        if (!name_char_valid(*p)) return false;
    return true;
}

uint32_t name_append(char *path, const char *name, uint32_t max_name, bool lowercase) {
    size_t path_length = strlen(path);
    size_t name_length = strlen(name);
    // The result is path, '\', name and the terminator.
    if (path_length + 1 + name_length >= NFS_PATH_MAX) return NFSERR_NAMETOOLONG;
    if (strcmp(name, ".") == 0) return NFS_OK;
    if (strcmp(name, "..") == 0) return NFSERR_PERM;
    // An empty name would leave a trailing '\' that names the directory.
    if (name_length == 0 || !name_valid(name)) return NFSERR_NOENT;
    if (device_name(name)) return NFSERR_ACCES;
    uint32_t status = NFS_OK;
    if (!(max_name > SHORT_NAME_MAX && name_length < max_name)) status = short_name_status(name);
    if (status != NFS_OK) return status;

    path[path_length] = '\\';
    memcpy(path + path_length + 1, name, name_length + 1);
    if (lowercase)
        for (char *p = path; *p; p++) *p = ascii_lower(*p);
    return NFS_OK;
}

bool volume_root(const char *path, char *root) {
    size_t length = strlen(path);
    size_t end;  // characters of the root before its final '\'
    if (path[0] == '\\' && path[1] == '\\') {
        // \\server\share: up to the backslash that ends the share name.
        const char *server_end = strchr(path + 2, '\\');
        const char *share_end = server_end ? strchr(server_end + 1, '\\') : nullptr;
        end = share_end ? (size_t)(share_end - path) : length;
    } else {
        end = length < 2 ? length : 2;
    }
    if (end > NFS_PATH_MAX - 2) end = NFS_PATH_MAX - 2;
    memcpy(root, path, end);
    root[end] = '\\';
    root[end + 1] = 0;
    return length == end || (length == end + 1 && path[end] == '\\');
}
