// The inode table's disk full: every free block of the open table is taken
// and the table cannot grow (a file size limit at its size), until the
// object goes.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "inode/inode.h"

class inode_full {
   public:
    // `leave` blocks stay free for the records made first.
    explicit inode_full(uint32_t leave = 0) {
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
    ~inode_full() {
        lift();
        std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
        for (uint32_t off : held_) inode_heap_free(off);
    }
    void lift() { setrlimit(RLIMIT_FSIZE, &old_); }  // the table may grow; the blocks stay taken
    inode_full(const inode_full &) = delete;
    inode_full &operator=(const inode_full &) = delete;

   private:
    std::vector<uint32_t> held_;
    rlimit old_{};
};
