// A served tree for the file-operation tests: the nfs_tree world with the
// operations called as a client calls them, on paths below drive C:'s
// folder ("a/b"), and what those tests look at afterwards. Links are
// enabled while it lives.
#pragma once

#include <vector>

#include "fs/fs.h"
#include "inode/inode.h"
#include "nfsd/fileops.h"
#include "support/drive_temp.h"
#include "support/nfs_tree.h"

class fileops_tree : public nfs_tree {
    using str = const std::string &;

   public:
    // `dirs` ("a", "a/b") are made before `exports` is loaded, so that
    // exports may name them.
    explicit fileops_tree(str exports = "c:\\ -maproot:0\n",
                          const std::vector<std::string> &dirs = {});
    ~fileops_tree();

    // "a/b" as the Windows path "c:\a\b" ("" is "c:").
    static std::string win(str relative);
    // Handle of "a/b" in export `index`; its inode number (which gives the
    // name a record).
    nfs_fh fh(str relative, int index = 0) const { return handle(win(relative), index); }
    uint32_t number(str relative) const { return inode_of(fh(relative)); }

    // The operations, as user 500 unless `c` says otherwise, on directories
    // of export 0 unless an export index is given. CREATE, MKNOD, MKDIR and
    // SETATTR leave the handle and attributes in `made`, `attr` (so one thread).
    uint32_t create(str dir, str name, uint32_t how = NFS_CREATE_UNCHECKED, const nfs_sattr &s = {},
                    rpc_cred c = test_cred()) {
        return nfs_create(test_object(fh(dir), &c), name.c_str(), how, &s, made.data(), &attr);
    }
    uint32_t mknod(str dir, str name, const nfs_sattr &s = {}, rpc_cred c = test_cred()) {
        return nfs_mknod(test_object(fh(dir), &c), name.c_str(), NFCHR, &s, 3, 1, made.data(),
                         &attr);
    }
    uint32_t mkdir(str dir, str name, rpc_cred c = test_cred()) {
        return file_mkdir(test_object(fh(dir), &c), name.c_str(), made.data(), &attr);
    }
    uint32_t setattr(str relative, const nfs_sattr &s, rpc_cred c = test_cred()) {
        return nfs_setattr(test_object(fh(relative), &c), &s, &attr);
    }
    uint32_t symlink(str dir, str name, str text, rpc_cred c = test_cred()) const {
        nfs_sattr s{};
        return nfs_symlink(test_object(fh(dir), &c), name.c_str(), &s, text.data(), text.size());
    }
    uint32_t link(str file, str dir, str name, int file_export = 0, int dir_export = 0) const {
        return nfs_link(test_object(fh(file, file_export), nullptr),
                        test_object(fh(dir, dir_export), nullptr), name.c_str());
    }
    uint32_t rename(str from_dir, str from, str to_dir, str to, rpc_cred c = test_cred(),
                    int from_export = 0, int to_export = 0) const {
        return file_rename(test_object(fh(from_dir, from_export), &c),
                           test_object(fh(to_dir, to_export), &c), from.c_str(), to.c_str());
    }
    uint32_t unlink(str dir, str name, rpc_cred c = test_cred()) const {
        return file_unlink(test_object(fh(dir), &c), name.c_str());
    }
    uint32_t rmdir(str dir, str name, rpc_cred c = test_cred()) const {
        return file_rmdir(test_object(fh(dir), &c), name.c_str());
    }
    nfs_fh made{};
    nfs_attr attr{};

    // Windows attributes of "a/b" (FS_INVALID_ATTRIBUTES when missing);
    // setting them answers false on failure.
    static uint32_t attrs(str relative) { return fs_get_attributes(win(relative).c_str()); }
    static bool set_attrs(str relative, uint32_t a) {
        return fs_set_attributes(win(relative).c_str(), a);
    }
    std::string content(str relative) const { return read_file(host(relative)); }
    // Every path below drive C:'s folder, sorted, a line each: "a/b", its
    // attributes and, for a file, its content. Unchanged when nothing changed.
    std::string snapshot() const;
    // The record of "a/b", 0 when the table has none.
    static uint32_t record(str relative) { return inode_path_find(win(relative).c_str()); }
    // Paths of records below drive C: whose files are not on disk: empty
    // when the table agrees with the disk.
    static std::vector<std::string> stale_records();

   private:
    uint32_t hardlinks_, softlinks_;
};

// The sattr of a mode alone; the content of a device file.
inline nfs_sattr fileops_mode(uint32_t mode) {
    nfs_sattr s{};
    s.set_mode = 1;
    s.mode = mode;
    return s;
}
std::string fileops_device(uint32_t type, uint32_t major, uint32_t minor, uint32_t mode);
