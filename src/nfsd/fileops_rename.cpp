// RENAME: Windows moves only to a free name, so an existing destination has
// to go first. It is not deleted outright: its data stays under a parking
// name in the same directory (a hard link, or the file moved there) until
// the source has arrived, so that a failed move can put everything back.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "inode/inode.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "nfsd/fileops_internal.h"
#include "platform/ascii.h"
#include "base/log.h"

namespace {

constexpr char TEMP_MARK = '_';  // last character of the temporary copy's path
constexpr uint32_t PARK_TRIES = 64;
constexpr auto RETRY_PAUSE = std::chrono::milliseconds(1);

std::atomic<uint32_t> park_counter{0};

enum park_state { PARK_NONE, PARK_LINKED, PARK_HELD };

struct rename_job {
    export_entry *exp;
    uint32_t from_dir, to_dir;
    uint32_t uid;
    uint32_t src_attr;   // the source's attributes as first read
    uint32_t dst_attr;   // the destination's, FS_INVALID_ATTRIBUTES when there is none
    bool dst_unlocked;   // READONLY taken off the destination (uid 0)
    bool dst_dir_gone;   // the empty destination directory was removed
    park_state park;
    bool temp_made;
    const char *move_from;  // from, or temp once a copy is in use
    fileops_cleared src_cleared;
    char from[NFS_PATH_MAX];
    char to[NFS_PATH_MAX];
    char temp[NFS_PATH_MAX];
    char park_path[NFS_PATH_MAX];
};

// `path` lies below the directory `dir` (letters compared without case).
bool inside(const char *path, const char *dir) {
    size_t n = strlen(dir);
    return strlen(path) > n && path[n] == '\\' && ascii_equal_n(path, dir, n);
}

void log_remove(const char *a, const char *b, uint32_t err) {
    log_printf(FILEOPS_LOG, "file_rename %s %s remove error %d\n", a, b, int(err));
}

// A free name in the destination's directory for the destination's data.
// With a hard link the destination itself stays where it is for now;
// without one (FAT) it is moved there at the first removal attempt.
bool park_name(rename_job *j) {
    size_t dir_len = size_t(fileops_leaf(j->to) - j->to);
    uint32_t n = park_counter.fetch_add(1, std::memory_order_relaxed);
    return snprintf(j->park_path, sizeof j->park_path, "%.*s~nfs%04x.tmp", int(dir_len), j->to,
                    n & 0xFFFF) < int(sizeof j->park_path);
}

bool park_link(rename_job *j) {
    for (uint32_t i = 0; i < PARK_TRIES; i++) {
        if (!park_name(j)) return false;
        if (fs_create_hard_link(j->park_path, j->to)) {
            j->park = PARK_LINKED;
            return true;
        }
        uint32_t err = win_last_error();
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// One attempt to take the destination out of its name.
bool dest_remove_once(rename_job *j) {
    if (j->park == PARK_LINKED) return fs_delete_file(j->to);
    for (uint32_t i = 0; i < PARK_TRIES; i++) {
        if (fs_move_file(j->to, j->park_path)) return true;
        uint32_t err = win_last_error();
        if ((err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) || !park_name(j))
            return false;
        win_set_last_error(err);
    }
    return false;
}

// The copy of the source used while its original cannot be moved.
uint32_t temp_copy(rename_job *j) {
    size_t n = strlen(j->to);
    memcpy(j->temp, j->to, n + 1);
    j->temp[n - 1] = TEMP_MARK;
    if (!fs_copy_file(j->from, j->temp, true)) {
        uint32_t err = win_last_error();
        log_printf(FILEOPS_LOG, "file_rename %s %s copy error %d\n", j->from, j->to, int(err));
        return win_error_status(err);
    }
    j->temp_made = true;
    j->move_from = j->temp;
    return NFS_OK;
}

// Puts back everything a failed rename changed, in reverse order.
void undo(rename_job *j) {
    fileops_unclear(j->from, &j->src_cleared);
    if (j->temp_made) {
        fs_set_attributes(j->temp, FILE_ATTRIBUTE_NORMAL);
        fs_delete_file(j->temp);
    }
    if (j->park == PARK_LINKED) {
        fs_delete_file(j->park_path);
    } else if (j->park == PARK_HELD && !fs_move_file(j->park_path, j->to)) {
        uint32_t err = win_last_error();
        // Another request has put a file there meanwhile: the old one was
        // replaced after all. Any other failure keeps its data parked.
        if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) fs_delete_file(j->park_path);
        else log_remove(j->park_path, j->to, err);
    }
    if (j->dst_dir_gone && fs_create_directory(j->to)) fileops_set_attrs(j->to, j->dst_attr);
    if (j->dst_unlocked) fileops_set_attrs(j->to, j->dst_attr);
}

// Takes a file destination out of the way, retrying while another program
// holds it; before the first retry the source is copied, so that a source
// held by the same program does not stop the move later.
uint32_t dest_file_remove(rename_job *j) {
    if (j->dst_attr & FILE_ATTRIBUTE_READONLY) {
        // What deleting it would answer, before anything is touched.
        log_remove(j->from, j->to, ERROR_ACCESS_DENIED);
        return win_error_status(ERROR_ACCESS_DENIED);
    }
    if (!park_link(j) && !park_name(j)) return NFSERR_NAMETOOLONG;
    for (uint32_t retries = 0;; retries++) {
        if (dest_remove_once(j)) break;
        uint32_t err = win_last_error();
        if (err == ERROR_FILE_NOT_FOUND) {
            // Gone meanwhile: nothing of it is held.
            if (j->park == PARK_LINKED) fs_delete_file(j->park_path);
            j->park = PARK_NONE;
            return NFS_OK;
        }
        if (err != ERROR_SHARING_VIOLATION || retries == FILE_RENAME_RETRIES) {
            log_remove(j->from, j->to, err);
            return win_error_status(err);
        }
        if (retries == 0) {
            uint32_t status = temp_copy(j);
            if (status) return status;
        } else {
            std::this_thread::sleep_for(RETRY_PAUSE);
        }
    }
    j->park = PARK_HELD;
    return NFS_OK;
}

// Step by step as the header describes; `new_parent` and `new_name` are
// where the source's record goes.
uint32_t rename_run(rename_job *j, const char *from_name, const char *to_name) {
    uint32_t src_inode = inode_find(j->from_dir, from_name);
    if (src_inode) cache_close_idle(src_inode);
    j->src_attr = fs_get_attributes(j->from);
    if (j->src_attr == FS_INVALID_ATTRIBUTES) {
        log_printf(FILEOPS_LOG, "file_rename %s %s failed error %d\n", j->from, j->to,
                   int(win_last_error()));
        return NFSERR_NOENT;
    }
    bool src_dir = j->src_attr & FILE_ATTRIBUTE_DIRECTORY;
    if (src_dir && inside(j->to, j->from)) return NFSERR_INVAL;

    uint32_t new_parent = j->to_dir;
    const char *new_name = to_name;
    uint32_t dst_inode = 0;
    // The same name, perhaps in other letters, is no destination to remove.
    bool same = ascii_equal(j->from, j->to);
    j->dst_attr = same ? FS_INVALID_ATTRIBUTES : fs_get_attributes(j->to);
    if (j->dst_attr != FS_INVALID_ATTRIBUTES) {
        if ((j->dst_attr & FILE_ATTRIBUTE_DIRECTORY) && !src_dir) {
            uint32_t status = nfs_add_name(j->exp, j->to, from_name);
            if (status) return status;
            new_parent = inode_lookup(j->to_dir, to_name);
            if (!new_parent) return NFSERR_IO;
            new_name = from_name;
            if (ascii_equal(j->from, j->to)) return NFS_OK;  // already there
            j->dst_attr = fs_get_attributes(j->to);
            if (j->dst_attr != FS_INVALID_ATTRIBUTES && (j->dst_attr & FILE_ATTRIBUTE_DIRECTORY))
                return NFSERR_ISDIR;
        }
    }
    if (j->dst_attr != FS_INVALID_ATTRIBUTES) {
        dst_inode = inode_path_find(j->to);
        if (dst_inode) cache_close_idle(dst_inode);
        if (j->uid == 0 && (j->dst_attr & FILE_ATTRIBUTE_READONLY)) {
            j->dst_unlocked = fs_set_attributes(j->to, FILE_ATTRIBUTE_NORMAL);
            if (j->dst_unlocked) j->dst_attr &= ~FILE_ATTRIBUTE_READONLY;
        }
        uint32_t status;
        if (!(j->dst_attr & FILE_ATTRIBUTE_DIRECTORY)) {
            status = dest_file_remove(j);
        } else if (fs_remove_directory(j->to)) {
            j->dst_dir_gone = true;
            status = NFS_OK;
        } else {
            log_printf(FILEOPS_LOG, "file_rename %s error %d\n", j->to, int(win_last_error()));
            status = NFSERR_EXIST;
        }
        if (j->dst_unlocked) j->dst_attr |= FILE_ATTRIBUTE_READONLY;  // as it was, for undo
        if (status) {
            undo(j);
            return status;
        }
    }

    fileops_clear(j->from, j->uid, &j->src_cleared);
    bool moved = fs_move_file(j->move_from, j->to);
    uint32_t err = moved ? 0 : win_last_error();
    if (!moved && !j->temp_made && err == ERROR_SHARING_VIOLATION && !src_dir) {
        // The source is held open: its copy moves instead.
        uint32_t status = temp_copy(j);
        if (status) {
            undo(j);
            return status;
        }
        moved = fs_move_file(j->move_from, j->to);
        err = moved ? 0 : win_last_error();
    }
    if (!moved) {
        log_printf(FILEOPS_LOG, "file_rename %s %s error %d\n", j->move_from, j->to, int(err));
        undo(j);
        return win_error_status(err);
    }

    fileops_set_attrs(j->to, j->src_attr);
    if (j->temp_made && !fs_delete_file(j->from)) fileops_unclear(j->from, &j->src_cleared);
    if (j->park != PARK_NONE && !fs_delete_file(j->park_path))
        log_remove(j->park_path, j->to, win_last_error());
    // inode_rename drops the replaced name's record with its subtree (an
    // emptied destination directory's included).
    uint32_t record = inode_rename(src_inode, new_parent, new_name);
    // A directory whose contents were seen keeps its old record under the
    // old name; that name is gone from the disk, so the record goes too.
    uint32_t stale = inode_find(j->from_dir, from_name);
    if (stale && stale != record) inode_remove_tree(stale);
    return NFS_OK;
}

}  // namespace

uint32_t file_rename(nfs_object *from, nfs_object *to, const char *from_name,
                     const char *to_name) {
    rename_job j;
    j.dst_unlocked = false;
    j.dst_dir_gone = false;
    j.park = PARK_NONE;
    j.temp_made = false;
    j.move_from = j.from;
    j.src_cleared = {FS_INVALID_ATTRIBUTES, false};
    j.temp[0] = j.park_path[0] = 0;

    uint32_t status = nfs_object_resolve(from, true);
    if (status) return status;
    status = nfs_object_resolve(to, true);
    if (status) return status;
    j.exp = from->exp;
    export_entry *to_exp = to->exp;
    j.from_dir = from->inode;
    j.to_dir = to->inode;
    strcpy(j.from, from->path);
    strcpy(j.to, to->path);
    if (export_load(j.exp->volume_serial) != export_load(to_exp->volume_serial)) return NFSERR_IO;
    // Two exports of one volume are still two trees the client was given
    // apart; nothing moves between them.
    if (j.exp != to_exp) return NFSERR_XDEV;
    if (!nfs_object_check(from, false)) return NFSERR_NXIO;
    j.uid = nfs_object_identity(from)->uid;
    if (!strcmp(from_name, ".") || !strcmp(to_name, ".")) return NFSERR_INVAL;
    status = nfs_add_name(j.exp, j.from, from_name);
    if (status) return status;
    status = nfs_add_name(to_exp, j.to, to_name);
    if (status) return status;
    return rename_run(&j, from_name, to_name);
}
