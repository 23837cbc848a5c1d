#include "support/nfs_tree.h"

#include <stdexcept>

#include "fh/fh.h"
#include "nfsd/cache.h"
#include "platform/bytes.h"
#include "server/config.h"

nfs_tree::nfs_tree(const std::string &exports, int cache) {
    config.cache = cache;
    config.charset = CHARSET_UTF8;
    cache_init();
    env.load(exports);
    if (env.entries().empty()) throw std::runtime_error("no export loaded: " + exports);
}

nfs_tree::~nfs_tree() {
    // Descriptors name files of drives that go away with the environment.
    config.cache = 0;
    cache_init();
}

std::string nfs_tree::host(const std::string &relative) const {
    return env.home.file("c") + "/" + relative;
}

void nfs_tree::make(const std::string &relative, const std::string &content) const {
    env.make(relative, content);
}

nfs_fh nfs_tree::handle(const std::string &path, int index) const {
    nfs_fh fh{};
    fh_for_path(env.entries().at(index)->export_id, path.c_str(), fh.data());
    return fh;
}

uint32_t nfs_tree::inode_of(const nfs_fh &fh) {
    return load_le32(fh.data() + 8);
}

rpc_cred test_cred(uint32_t uid, uint32_t gid) {
    rpc_cred c{};
    c.uid = uid;
    c.gid = gid;
    return c;
}
