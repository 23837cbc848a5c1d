// Pipes for sending file data with splice. A pipe holds page references, so
// moving a 1 MiB READ costs no copy on our side; its capacity is raised
// once to the largest transfer. Emptying a pipe means replacing it: what
// sits in it cannot be taken back otherwise without a copy.
#include "platform/netpipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/winfile_internal.h"

const int SOCK_MSG_MORE = MSG_MORE;

struct sock_pipe {
    int read_end = -1;
    int write_end = -1;
    uint32_t capacity = 0;  // 0: not made, or making it failed
    uint32_t held = 0;      // bytes moved in and not yet sent
    uint32_t wanted = 0;    // the size it was asked for, to make it again

    void close_ends() {
        if (read_end >= 0) close(read_end);
        if (write_end >= 0) close(write_end);
        read_end = write_end = -1;
        capacity = held = 0;
    }
    ~sock_pipe() { close_ends(); }
};

namespace {

thread_local sock_pipe thread_pipe;
// Once a pipe of some size could not be made, no larger one is tried.
thread_local uint32_t thread_refused = 0;

// Data that starts part-way into a page takes one pipe slot more than its
// pages, so the pipe is made a page larger when the host allows it; an
// unaligned read that still does not fit is sent the other way.
constexpr uint32_t PAGE = 4096;

bool pipe_make(sock_pipe *p, uint32_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    p->read_end = ends[0];
    p->write_end = ends[1];
    int got = fcntl(p->write_end, F_SETPIPE_SZ, int(size + PAGE));
    if (got < 0) got = fcntl(p->write_end, F_SETPIPE_SZ, int(size));
    if (got < int(size)) {
        p->close_ends();
        return false;
    }
    p->capacity = uint32_t(got);
    p->wanted = size;
    return true;
}

}  // namespace

sock_pipe *sock_pipe_thread(uint32_t size) {
    sock_pipe *p = &thread_pipe;
    if (p->capacity >= size && p->held == 0) return p;
    if (thread_refused && size >= thread_refused) return nullptr;
    p->close_ends();
    if (!pipe_make(p, size)) {
        thread_refused = size;
        return nullptr;
    }
    return p;
}

void sock_pipe_discard(sock_pipe *p) {
    if (p->held == 0) return;
    uint32_t size = p->wanted;
    p->close_ends();
    if (!pipe_make(p, size)) thread_refused = size;
}

long sock_pipe_fill(sock_pipe *p, int fd, int64_t offset, uint32_t count) {
    hfile *f = hfile_get(fd);
    if (!f || !f->can_read || f->kind != WK_FILE || count > p->capacity)
        return SOCK_PIPE_UNSUPPORTED;
    // The test seam's read failures hold here as they do for a copy.
    uint32_t injected;
    if (win_fail_check("_read", &injected)) return -long(injected);
    loff_t at = offset;
    uint32_t got = 0;
    while (got < count) {
        // Never waits on a full pipe: the capacity is checked above, and a
        // file that still fills it is sent the other way.
        ssize_t n = splice(f->fd, &at, p->write_end, nullptr, count - got, SPLICE_F_NONBLOCK);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0) {
            int err = errno;
            bool unsupported = err == EINVAL || err == ENOSYS || err == EAGAIN;
            sock_pipe_discard(p);
            errno = err;
            return unsupported ? SOCK_PIPE_UNSUPPORTED : -err;
        }
        got += uint32_t(n);
        p->held = got;
    }
    return long(got);
}

int sock_pipe_send(sock_pipe *p, sock_t s, uint32_t count, bool more) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = splice(p->read_end, nullptr, s, nullptr, count - done,
                           SPLICE_F_MOVE | (more ? SPLICE_F_MORE : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) {
            int err = n < 0 ? errno : 0;
            sock_pipe_discard(p);
            return -err;
        }
        done += uint32_t(n);
        p->held -= uint32_t(n);
    }
    return int(done);
}
