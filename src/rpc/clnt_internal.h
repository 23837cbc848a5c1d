// Shared by the client-call sources; not for other folders.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"

// The word at p, host order.
uint32_t clnt_word(const uint8_t *p);

// Opens, sends the call prepared in xp and receives the reply: the result of
// clnt_receive, or 0 after "RPC open failed\n" / "RPC send failed\n".
int32_t clnt_exchange(xprt *xp, uint16_t protocol, uint16_t port);
