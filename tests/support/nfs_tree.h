// A served tree for tests of the NFS backends: the exports_env world with an
// exports file loaded, an open-file cache of "Cache" entries, and helpers
// that make files and hand out their handles and caller identities.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "nfsd/attr.h"
#include "nfsd/request.h"
#include "platform/bytes.h"
#include "support/exports_env.h"

using nfs_fh = std::array<uint8_t, 32>;

class nfs_tree {
   public:
    // `exports` is the exports file; `cache` the setting "Cache".
    explicit nfs_tree(const std::string &exports = "c:\\ -maproot:0\n", int cache = 24);
    ~nfs_tree();
    nfs_tree(const nfs_tree &) = delete;
    nfs_tree &operator=(const nfs_tree &) = delete;

    // Host path of a file below drive C:'s folder ("dir/f.txt").
    std::string host(const std::string &relative) const { return env.home.file("c/" + relative); }
    bool exists(const std::string &relative) const;
    // Creates a file (or, ending in '/', a folder) below drive C:'s folder.
    void make(const std::string &relative, const std::string &content = "") const {
        env.make(relative, content);
    }
    // The handle of a Windows path in export `index` (file order); inode 0
    // when the path has no record and cannot get one.
    nfs_fh handle(const std::string &path, int index = 0) const;
    static uint32_t inode_of(const nfs_fh &fh) { return load_le32(fh.data() + 8); }
    // What was logged since the last call.
    std::string log() { return env.log(); }

    exports_env env;
};

// `n` bytes of letters, a different run for each `seed`: file contents that
// show where every byte came from.
std::string nfs_pattern(size_t n, int seed = 0);

// An AUTH_UNIX identity with no groups; by default the ordinary user the
// tests act as, neither root nor the files' owner.
inline rpc_cred test_cred(uint32_t uid = 500, uint32_t gid = 100) {
    rpc_cred c{};
    c.uid = uid;
    c.gid = gid;
    return c;
}

// A handle as one request binds it (request.h), for a backend called alone;
// `fh` and `cred` must outlive it (temporaries of one expression do).
struct test_object {
    nfs_object o;
    test_object(const nfs_fh &fh, const rpc_cred *cred) { nfs_object_init(&o, fh.data(), cred); }
    operator nfs_object *() { return &o; }
};
