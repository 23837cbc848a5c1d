// Runs a piece of a test in a child process that has run out of file
// descriptors, so that the test sees what the server answers then without
// starving the test process itself.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// The descriptors the child took to run out.
struct fd_taken {
    std::vector<int> fds;
    // Closes `n` of them, all by default.
    void give_back(size_t n = SIZE_MAX);
};

// Forks; the child lowers its descriptor limit to `limit`, takes every
// descriptor left, runs `work` and hands back the words it returns. Empty
// when the child did not end normally.
std::vector<uint32_t> fd_child(int limit,
                               const std::function<std::vector<uint32_t>(fd_taken &)> &work);
