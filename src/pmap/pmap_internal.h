// Shared by the portmapper's sources; not for other folders.
#pragma once

#include <cstdint>

#include "pmap/pmap.h"

// The table operations behind SET, UNSET and DUMP, each under the list's
// lock. The caller has checked pmap_caller_allowed. A new mapping remembers
// its setter (address and port; null: the portmapper itself). UNSET removes
// a mapping only for a caller from a privileged port (below 1024) or for
// its setter, so a local program cannot take another's mapping over.
bool pmap_list_set(uint32_t prog, uint32_t vers, uint32_t prot, uint32_t port,
                   const sockaddr_in *setter);
bool pmap_list_unset(uint32_t prog, uint32_t vers, const sockaddr_in *caller);
// Copies the first `max` mappings in list order; returns how many.
uint32_t pmap_list_copy(pmap_entry *out, uint32_t max);

// Indirect calls are forwarded by PMAP_FORWARDERS threads of their own, so a
// silent target never holds the portmapper's thread. pmap_start starts them
// and pmap_stop ends them (waiting for calls under way, 2 s at most).
constexpr uint32_t PMAP_FORWARDERS = 4;
bool pmap_forward_start();
void pmap_forward_stop();
// Hands the call (already judged allowed) to a free forwarder: it sends
// `proc` of (prog, vers) with the `n` argument bytes to 127.0.0.1:port and
// answers the caller of `xp` with the port and the results. False, and no
// answer ever, when no forwarder is free or the arguments do not fit.
bool pmap_forward(const xprt *xp, const rpc_call *call, uint32_t prog, uint32_t vers, uint32_t proc,
                  uint16_t port, const uint8_t *args, uint32_t n);
