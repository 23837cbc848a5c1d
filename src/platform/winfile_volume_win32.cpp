// Volume calls on Windows: free space, drive type and volume information,
// the system's own answers. Volume and file system names come back as UTF-8.
#include "platform/winfile_win32.h"

bool win_get_disk_free_space_ex(const char *root, uint64_t *free_to_caller, uint64_t *total,
                                uint64_t *total_free) {
    uint32_t e;
    if (win_fail_check("GetDiskFreeSpaceEx", &e)) return false;
    hpath p;
    if (!hpath_ok(root, &p)) return false;
    ULARGE_INTEGER caller, all, all_free;
    BOOL ok = p.narrow ? GetDiskFreeSpaceExA(p.bytes, &caller, &all, &all_free)
                       : GetDiskFreeSpaceExW(p.wide, &caller, &all, &all_free);
    if (!ok) return fail_last();
    if (free_to_caller) *free_to_caller = caller.QuadPart;
    if (total) *total = all.QuadPart;
    if (total_free) *total_free = all_free.QuadPart;
    return true;
}

uint32_t win_get_drive_type(const char *root) {
    hpath p;
    if (hpath_make(root, &p) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
    return p.narrow ? GetDriveTypeA(p.bytes) : GetDriveTypeW(p.wide);
}

bool win_get_volume_information(const char *root, char *volume_name, uint32_t volume_name_size,
                                uint32_t *serial, uint32_t *max_component, uint32_t *flags,
                                char *fs_name, uint32_t fs_name_size) {
    uint32_t e;
    if (win_fail_check("GetVolumeInformation", &e)) return false;
    hpath p;
    if (!hpath_ok(root, &p)) return false;
    // Always the wide call, so that the names come back as UTF-8.
    wchar_t label[MAX_PATH + 1], system[MAX_PATH + 1];
    DWORD s = 0, max = 0, f = 0;
    if (!GetVolumeInformationW(p.wide, label, MAX_PATH + 1, &s, &max, &f, system, MAX_PATH + 1))
        return fail_last();
    if (serial) *serial = s;
    if (max_component) *max_component = max;
    if (flags) *flags = f;
    if (volume_name && volume_name_size) utf8_out(label, volume_name, volume_name_size);
    if (fs_name && fs_name_size) utf8_out(system, fs_name, fs_name_size);
    return true;
}
