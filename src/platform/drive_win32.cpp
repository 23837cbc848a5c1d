// Drives on Windows are the machine's own: a letter is the volume Windows
// has under it, its type and serial come from the system, and there is no
// map to load or change. UNC roots are the network's own too; with the
// setting "Remote" off they are not looked up at all.
#include "platform/drive.h"

#include <atomic>
#include <cstring>

#include "platform/ascii.h"
#include "platform/winerr.h"
// After the layer's headers: <windows.h> defines the same error and
// attribute names as macros of the same values.
#include "platform/wide_win32.h"

namespace {

constexpr int DRIVE_LETTERS = 26;
std::atomic<bool> remote_roots{false};

// The root of `d` in the form the volume calls take ("C:\", "\\s\x\").
void root_of(const drive_info *d, wchar_t *root, uint32_t size) {
    wide_from_utf8(d->dir, root, size);
}

}  // namespace

void drive_load() {}

// The machine's drives need no values, so no value is ever refused.
uint32_t drive_load_problems(drive_problem *, uint32_t) {
    return 0;
}

void drive_set_remote(bool on) {
    remote_roots.store(on);
}

// The machine's drives cannot be remapped from here.
bool drive_map(const char *, const char *, uint32_t, uint32_t) {
    return false;
}

void drive_clear() {}

void drive_reset() {}

uint32_t drive_lookup(const char *path, drive_info *out, const char **rest) {
    size_t n = 0;
    if (ascii_is_letter(path[0]) && path[1] == ':') {
        out->index = ascii_upper(path[0]) - 'A';
        out->dir[0] = ascii_upper(path[0]);
        memcpy(out->dir + 1, ":\\", 3);
        *rest = path + 2;
    } else {
        n = drive_unc_root_length(path);
        if (n == 0) return ERROR_PATH_NOT_FOUND;
        if (!remote_roots.load() || n + 2 > sizeof out->dir) return ERROR_BAD_NET_NAME;
        out->index = DRIVE_LETTERS;  // the network, not one slot
        memcpy(out->dir, path, n);
        memcpy(out->dir + n, "\\", 2);
        *rest = path + n;
    }
    wchar_t root[WIN_PATH_MAX];
    root_of(out, root, WIN_PATH_MAX);
    out->type = GetDriveTypeW(root);
    out->serial = 0;
    if (out->type == DRIVE_NO_ROOT_DIR) return n ? ERROR_BAD_NET_NAME : ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

bool drive_serial(const drive_info *d, uint32_t *serial, uint32_t *error) {
    wchar_t root[WIN_PATH_MAX];
    root_of(d, root, WIN_PATH_MAX);
    DWORD s = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, &s, nullptr, nullptr, nullptr, 0)) {
        *error = GetLastError();
        return false;
    }
    *serial = s;
    return true;
}

bool drive_by_index(int index, drive_info *out) {
    if (index < 0 || index >= DRIVE_LETTERS) return false;
    char path[4] = {char('A' + index), ':', '\\', 0};
    const char *rest;
    return drive_lookup(path, out, &rest) == ERROR_SUCCESS;
}

