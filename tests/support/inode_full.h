// The inode table's disk full: every free block of the open table is taken
// and the table cannot grow (a file size limit at its size), until the
// object goes.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <vector>

class inode_full {
   public:
    // `leave` blocks stay free for the records made first.
    explicit inode_full(uint32_t leave = 0);
    ~inode_full();
    inode_full(const inode_full &) = delete;
    inode_full &operator=(const inode_full &) = delete;

   private:
    std::vector<uint32_t> held_;
    rlimit old_{};
};
