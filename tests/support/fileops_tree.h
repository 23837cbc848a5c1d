// A served tree for the file-operation tests: the nfs_tree world with the
// helpers those tests share: Windows paths of host files, attributes,
// directory listings, a check that the inode table agrees with the disk,
// and the settings the operations read, put back afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/fs.h"
#include "support/nfs_tree.h"

class fileops_tree : public nfs_tree {
   public:
    // `dirs` ("a", "a/b") are made below drive C:'s folder before
    // `exports` is loaded, so that exports may name them.
    explicit fileops_tree(const std::string &exports = "c:\\ -maproot:0\n",
                          const std::vector<std::string> &dirs = {});
    ~fileops_tree();

    // "a/b" below drive C:'s folder as the Windows path "c:\a\b" ("" is "c:").
    static std::string win(const std::string &relative);
    // Handle of "a/b" in export `index`.
    nfs_fh fh(const std::string &relative, int index = 0) const { return handle(win(relative), index); }
    // Windows attributes of "a/b" (FS_INVALID_ATTRIBUTES when missing).
    static uint32_t attrs(const std::string &relative);
    // Sets them; false on failure.
    static bool set_attrs(const std::string &relative, uint32_t attributes);
    // Names in the host directory "a" (sorted), without "." and "..".
    std::vector<std::string> listing(const std::string &relative = "") const;
    std::string content(const std::string &relative) const;
    bool exists(const std::string &relative) const;
    // The record of "a/b", 0 when the table has none.
    static uint32_t record(const std::string &relative);
    // Paths of records below drive C: whose files are not on disk: empty
    // when the table agrees with the disk.
    static std::vector<std::string> stale_records();

   private:
    uint32_t hardlinks_, softlinks_;
};

// Caller identities.
rpc_cred root_cred();
rpc_cred user_cred();
