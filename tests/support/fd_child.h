// Runs a piece of a test in a child process that has run out of file
// descriptors, so that the test sees what the server answers then without
// starving the test process itself.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <vector>

// The descriptors the child took to run out.
struct fd_taken {
    std::vector<int> fds;
    // Closes `n` of them, all by default.
    void give_back(size_t n = SIZE_MAX) {
        for (; n > 0 && !fds.empty(); n--) {
            close(fds.back());
            fds.pop_back();
        }
    }
};

// Forks; the child lowers its descriptor limit to `limit`, takes every
// descriptor left, runs `work` and hands back the words it returns. Empty
// when the child did not end normally.
inline std::vector<uint32_t> fd_child(
    int limit, const std::function<std::vector<uint32_t>(fd_taken &)> &work) {
    int out[2];
    if (pipe(out) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        rlimit low{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_NOFILE, &low);
        fd_taken taken;
        for (int fd; (fd = dup(out[1])) >= 0;) taken.fds.push_back(fd);
        std::vector<uint32_t> words = work(taken);
        ssize_t n = ssize_t(words.size() * 4);
        _exit(write(out[1], words.data(), size_t(n)) == n ? 0 : 1);
    }
    close(out[1]);
    std::vector<uint32_t> words;
    for (uint32_t w; pid > 0 && read(out[0], &w, 4) == 4;) words.push_back(w);
    close(out[0]);
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return words;
}
