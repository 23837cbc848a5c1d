// The wrappers of the file-call table: convert the path in, call the host
// layer, convert returned names out. Under "CharSet" 0 and 2 the conversion
// is a single test.
#include <atomic>

#include "fs/fs.h"
#include "fs/fs_names.h"
#include "base/config.h"
#include "base/log.h"

namespace {

using hardlink_fn = bool (*)(const char *new_path, const char *existing);
std::atomic<hardlink_fn> hardlink_narrow{nullptr};
std::atomic<hardlink_fn> hardlink_wide{nullptr};
std::atomic<bool> hardlinks_found{false};

void find_data_out(win_find_data *data) {
    fs_name_out(data->name, sizeof data->name);
    fs_name_out(data->short_name, sizeof data->short_name);
}

using find_first_fn = win_find_handle (*)(const char *pattern, win_find_data *data);

win_find_handle find_first_with(find_first_fn call, const char *pattern, win_find_data *data) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(pattern, buf);
    if (!p) return nullptr;
    win_find_handle h = call(p, data);
    if (h) find_data_out(data);
    return h;
}

}  // namespace

int fs_open(const char *path, int flags, int pmode) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p ? rt_open(p, flags, pmode) : -1;
}

int fs_utime(const char *path, int64_t atime, int64_t mtime) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p ? rt_utime(p, atime, mtime) : -1;
}

uint32_t fs_get_attributes(const char *path) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p ? win_get_file_attributes(p) : FS_INVALID_ATTRIBUTES;
}

bool fs_set_attributes(const char *path, uint32_t attributes) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p && win_set_file_attributes(p, attributes);
}

bool fs_delete_file(const char *path) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p && win_delete_file(p);
}

win_handle fs_create_file(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                          uint32_t flags_and_attributes) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    if (!p) return INVALID_HANDLE_VALUE;
    return win_create_file(p, access, share, disposition, flags_and_attributes);
}

bool fs_create_directory(const char *path) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p && win_create_directory(p);
}

bool fs_remove_directory(const char *path) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    return p && win_remove_directory(p);
}

bool fs_copy_file(const char *existing, const char *new_path, bool fail_if_exists) {
    char buf1[FS_PATH_BYTES], buf2[FS_PATH_BYTES];
    const char *p1 = fs_name_in(existing, buf1);
    const char *p2 = p1 ? fs_name_in(new_path, buf2) : nullptr;
    return p2 && win_copy_file(p1, p2, fail_if_exists);
}

bool fs_move_file(const char *existing, const char *new_path) {
    char buf1[FS_PATH_BYTES], buf2[FS_PATH_BYTES];
    const char *p1 = fs_name_in(existing, buf1);
    const char *p2 = p1 ? fs_name_in(new_path, buf2) : nullptr;
    return p2 && win_move_file(p1, p2);
}

bool fs_create_hard_link(const char *new_path, const char *existing) {
    hardlink_fn fn = (config.charset == CHARSET_UTF8 ? hardlink_wide : hardlink_narrow).load();
    if (!fn) {
        win_set_last_error(ERROR_INVALID_FUNCTION);
        return false;
    }
    char buf1[FS_PATH_BYTES], buf2[FS_PATH_BYTES];
    const char *p1 = fs_name_in(new_path, buf1);
    const char *p2 = p1 ? fs_name_in(existing, buf2) : nullptr;
    return p2 && fn(p1, p2);
}

win_find_handle fs_find_first(const char *pattern, win_find_data *data) {
    return find_first_with(win_find_first_file, pattern, data);
}

win_find_handle fs_find_first_name(const char *pattern, win_find_data *data) {
    return find_first_with(win_find_first_name, pattern, data);
}

bool fs_find_next(win_find_handle h, win_find_data *data) {
    if (!win_find_next_file(h, data)) return false;
    find_data_out(data);
    return true;
}

bool fs_find_close(win_find_handle h) {
    return win_find_close(h);
}

bool fs_count_directories(const char *pattern, uint32_t *count) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(pattern, buf);
    if (!p) {
        *count = 0;
        return false;
    }
    return win_count_directories(p, count);
}

bool fs_find_entry(const char *path, win_find_data *data, uint32_t *count) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(path, buf);
    *count = 0;
    if (!p || !win_find_entry(p, data, count)) return false;
    find_data_out(data);
    return true;
}

bool fs_disk_free_space(const char *root, uint64_t *free_to_caller, uint64_t *total,
                        uint64_t *total_free) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(root, buf);
    return p && win_get_disk_free_space_ex(p, free_to_caller, total, total_free);
}

uint32_t fs_drive_type(const char *root) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(root, buf);
    return p ? win_get_drive_type(p) : 1;
}

bool fs_volume_information(const char *root, char *volume_name, uint32_t volume_name_size,
                           uint32_t *serial, uint32_t *max_component, uint32_t *flags,
                           char *fs_name, uint32_t fs_name_size) {
    char buf[FS_PATH_BYTES];
    const char *p = fs_name_in(root, buf);
    if (!p || !win_get_volume_information(p, volume_name, volume_name_size, serial, max_component,
                                          flags, fs_name, fs_name_size))
        return false;
    if (volume_name && volume_name_size) fs_name_out(volume_name, volume_name_size);
    if (fs_name && fs_name_size) fs_name_out(fs_name, fs_name_size);
    return true;
}

bool hardlink_lookup() {
    // The host always has the call; whether a volume has hard links shows in
    // its file system name ("NTFS" or "FAT"), which the exports record.
    hardlink_narrow = win_create_hard_link;
    hardlink_wide = config.charset == CHARSET_UTF8 ? win_create_hard_link : nullptr;
    hardlinks_found = true;
    return true;
}

bool hardlink_available() {
    return (config.charset == CHARSET_UTF8 ? hardlink_wide : hardlink_narrow).load() != nullptr;
}

void hardlink_reset() {
    hardlink_narrow = nullptr;
    hardlink_wide = nullptr;
    hardlinks_found = false;
}

void fs_startup_log() {
    static const char *const names[] = {"ASCII", "ANSI", "UTF-8"};
    const char *name = config.charset <= CHARSET_UTF8 ? names[config.charset] : names[0];
    log_printf(LOG_EVENT, "%s nfsd   client charset %s\n", log_time(), name);
    if (hardlinks_found) log_printf(LOG_EVENT, "%s nfsd   NTFS 2000/XP hardlinks supported\n", log_time());
}
