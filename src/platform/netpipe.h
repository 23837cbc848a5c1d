// File data sent on a stream socket without passing through the process:
// the host moves the file's pages into a pipe, then from the pipe to the
// socket. Each thread has a pipe of its own. Hosts without such pipes
// (Windows) have none, and their callers copy the data instead.
#pragma once

#include <cstdint>

#include "platform/net.h"

// Marks a send that more bytes of the same record follow, so the host packs
// them into full segments (0 where the host has no such flag).
extern const int SOCK_MSG_MORE;

struct sock_pipe;

// This thread's pipe, empty and able to hold at least `size` bytes; made at
// its first use. Null when the host has none or cannot make one that large.
sock_pipe *sock_pipe_thread(uint32_t size);

// Moves up to `count` bytes of the file with runtime descriptor `fd`
// (rtfile.h) from `offset` into the empty pipe, stopping early only at the
// end of the file; the file's position does not move. Answers the bytes
// moved, or below 0: SOCK_PIPE_UNSUPPORTED when this file (a link or device
// file, whose content is made up) or this much data cannot go through the
// pipe (nothing is left in it; the caller copies instead), otherwise the
// negated error number of a failed read (the pipe is emptied).
constexpr long SOCK_PIPE_UNSUPPORTED = -1000000;
long sock_pipe_fill(sock_pipe *p, int fd, int64_t offset, uint32_t count);

// Sends `count` bytes from the pipe on the blocking stream socket `s`,
// with SOCK_MSG_MORE's meaning when `more`. Answers `count`, or the negated
// error number of the failed send (0 when it took nothing without an error);
// the pipe is then emptied, so no later send carries its stale bytes.
int sock_pipe_send(sock_pipe *p, sock_t s, uint32_t count, bool more);

// Throws away whatever the pipe holds.
void sock_pipe_discard(sock_pipe *p);
