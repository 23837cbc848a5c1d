// Shared by the client-call sources and the record receive; not for other
// folders.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"

// The word at p, host order.
uint32_t clnt_word(const uint8_t *p);

// Waits up to timeout_ms for `s` to become readable; false when it does not
// (or the wait fails for good). Any descriptor number is fine, also one
// beyond the reach of an fd_set.
bool clnt_wait_readable(sock_t s, int timeout_ms);

// Opens, sends the call prepared in xp and receives the reply: the result of
// clnt_receive, or 0 after "RPC open failed\n" / "RPC send failed\n".
int32_t clnt_exchange(xprt *xp, uint16_t protocol, uint16_t port);
