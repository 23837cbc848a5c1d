// Volume calls: free space, drive type and volume information.
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winfile_internal.h"

namespace {

constexpr long MSDOS_MAGIC = 0x4d44;
constexpr long EXFAT_MAGIC = 0x2011BAB0;

void copy_out(char *buf, uint32_t size, const char *text) {
    if (buf && size) snprintf(buf, size, "%s", text);
}

}  // namespace

bool win_get_disk_free_space_ex(const char *root, uint64_t *free_to_caller, uint64_t *total,
                                uint64_t *total_free) {
    uint32_t e;
    if (win_fail_check("GetDiskFreeSpaceEx", &e)) return false;
    wpath r;
    e = wpath_resolve(root, &r);
    if (e) return fail(e);
    if (r.kind == WK_NONE) return fail(ERROR_PATH_NOT_FOUND);
    if (r.kind != WK_DIR) return fail(ERROR_DIRECTORY);
    int fd = open_resolved(&r, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return fail(win_error_from_errno(errno));
    struct statvfs vs;
    int rc = fstatvfs(fd, &vs);
    int err = errno;
    close(fd);
    if (rc != 0) return fail(win_error_from_errno(err));
    if (free_to_caller) *free_to_caller = uint64_t(vs.f_bavail) * vs.f_frsize;
    if (total) *total = uint64_t(vs.f_blocks) * vs.f_frsize;
    if (total_free) *total_free = uint64_t(vs.f_bfree) * vs.f_frsize;
    return true;
}

uint32_t win_get_drive_type(const char *root) {
    return drive_type_of(root);
}

bool win_get_volume_information(const char *root, char *volume_name, uint32_t volume_name_size,
                                uint32_t *serial, uint32_t *max_component, uint32_t *flags,
                                char *fs_name, uint32_t fs_name_size) {
    uint32_t e;
    if (win_fail_check("GetVolumeInformation", &e)) return false;
    drive_info d;
    const char *rest;
    e = drive_lookup(root, &d, &rest);
    if (e) return fail(e);
    if (rest[0] == '\\') rest++;
    if (rest[0]) return fail(ERROR_DIR_NOT_ROOT);
    uint32_t s;
    if (!drive_serial(&d, &s, &e)) return fail(e);
    struct statfs fs;
    if (statfs(d.dir, &fs) != 0)
        return fail(errno == ENOENT ? ERROR_NOT_READY : ERROR_ACCESS_DENIED);
    bool fat = fs.f_type == MSDOS_MAGIC || fs.f_type == EXFAT_MAGIC;
    if (serial) *serial = s;
    // No name longer than the layer's component limit can be used, whatever
    // the host allows (vfat reports 1530 bytes).
    if (max_component)
        *max_component = fs.f_namelen < WIN_NAME_LIMIT ? uint32_t(fs.f_namelen) : WIN_NAME_LIMIT;
    // Case-preserving names with case-sensitive search, as NTFS reports.
    if (flags) *flags = 3;
    copy_out(volume_name, volume_name_size, "");
    copy_out(fs_name, fs_name_size, fat ? "FAT" : "NTFS");
    return true;
}
