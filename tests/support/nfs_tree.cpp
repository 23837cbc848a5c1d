#include "support/nfs_tree.h"

#include <unistd.h>

#include <stdexcept>

#include "fh/fh.h"
#include "nfsd/cache.h"
#include "base/config.h"

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

bool nfs_tree::exists(const std::string &relative) const {
    return access(host(relative).c_str(), F_OK) == 0;
}

nfs_fh nfs_tree::handle(const std::string &path, int index) const {
    nfs_fh fh{};
    fh_for_path(env.entries().at(index)->export_id, path.c_str(), fh.data());
    return fh;
}

std::string nfs_pattern(size_t n, int seed) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = char('a' + (i * 7 + size_t(seed)) % 26);
    return s;
}
