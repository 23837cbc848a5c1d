// One small RPC program for the runtime's tests, served through a procedure
// table like every real program, and an RAII registration of it.
#pragma once

#include <atomic>
#include <cstdint>

#include "rpc/rpc.h"

constexpr uint32_t TOY_PROG = 0x20000777;

enum : uint32_t {
    TOY_ECHO = 0,     // answers its argument bytes (at most 1024)
    TOY_COUNTER = 1,  // answers the next number of toy_counter; non-idempotent, with a replay slot
    TOY_GATE = 2,     // waits until four calls are inside (5 s at most), then answers how
                      // many it saw
};

// What the program saw: the calls it ran (any procedure) and the last call.
extern std::atomic<int> toy_runs;
extern rpc_call toy_seen;
// The next number TOY_COUNTER hands out, and its replay slot.
extern std::atomic<uint32_t> toy_counter;
extern rpc_replay_slot toy_slot;

// Forgets runs, the slot and the gate; the counter starts at 100.
void toy_reset();

// The handler rpc_register takes.
void toy_program(xprt *xp, rpc_call *call);

// Registers TOY_PROG version `vers` for `protocol` on `xp`, without a
// portmapper, for the life of the object.
struct toy_registration {
    toy_registration(xprt *xp, uint32_t vers, uint16_t protocol);
    ~toy_registration();
    toy_registration(const toy_registration &) = delete;
    toy_registration &operator=(const toy_registration &) = delete;
    uint32_t vers;
    uint16_t protocol;
    bool ok;
};
