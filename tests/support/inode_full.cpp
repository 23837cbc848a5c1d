#include "support/inode_full.h"

#include <signal.h>

#include <mutex>

#include "inode/inode.h"

inode_full::inode_full(uint32_t leave) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit low{inode_table_size(), old_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &low);
    std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
    for (uint32_t off; (off = inode_heap_alloc(INODE_BLOCK)) != 0;) held_.push_back(off);
    for (; leave > 0 && !held_.empty(); leave--) {
        inode_heap_free(held_.back());
        held_.pop_back();
    }
}

inode_full::~inode_full() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
    for (uint32_t off : held_) inode_heap_free(off);
}
