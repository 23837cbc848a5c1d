// Windows has no pipe that a file's pages can move through to a socket:
// READ data is copied through the reply buffer there.
#include "platform/netpipe.h"

const int SOCK_MSG_MORE = 0;

sock_pipe *sock_pipe_thread(uint32_t) {
    return nullptr;
}

long sock_pipe_fill(sock_pipe *, int, int64_t, uint32_t) {
    return SOCK_PIPE_UNSUPPORTED;
}

int sock_pipe_send(sock_pipe *, sock_t, uint32_t, bool) {
    return 0;
}

void sock_pipe_discard(sock_pipe *) {}
