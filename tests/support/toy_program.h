// One small RPC program for the runtime's tests, served through a procedure
// table like every real program, and an RAII registration of it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/bytes.h"
#include "rpc/rpc.h"
#include "rpc/rpc_proc.h"

constexpr uint32_t TOY_PROG = 0x20000777;

enum : uint32_t {
    TOY_ECHO = 0,     // answers its argument bytes (at most 1024)
    TOY_COUNTER = 1,  // answers the next number of toy_counter; non-idempotent, with a replay slot
    TOY_GATE = 2,     // waits until four calls are inside (5 s at most), answers how many it saw
    TOY_PAIR = 3,     // quick: waits until two are inside (300 ms at most), answers how many
};

// What the program saw: the calls it ran (any procedure) and the last call.
inline std::atomic<int> toy_runs{0};
inline rpc_call toy_seen;
// The next number TOY_COUNTER hands out, and its replay slot.
inline std::atomic<uint32_t> toy_counter{100};
inline rpc_replay_slot toy_slot;

namespace toy_detail {

constexpr uint32_t ECHO_MAX = 1024, GATE_WANT = 4;

// Arguments and results of every procedure: bytes as they go on the wire.
struct toy_record {
    uint32_t length;
    uint8_t bytes[ECHO_MAX];
};

inline toy_record counter_save;
inline std::mutex lock;  // guards toy_seen and the gate
inline std::condition_variable gate;
inline uint32_t gate_inside, pair_inside;

inline bool decode_echo(rpc_call *call, void *args) {
    toy_record *e = static_cast<toy_record *>(args);
    if (call->arg_len > ECHO_MAX) return false;
    e->length = call->arg_len;
    memcpy(e->bytes, call->args, e->length);
    return true;
}

inline void encode_record(xdr_out *o, const void *result) {
    const toy_record *e = static_cast<const toy_record *>(result);
    if (uint8_t *at = xdr_reserve(o, e->length)) memcpy(at, e->bytes, e->length);
}

// Every run notes the call first, as a handler that reads the identity would.
inline toy_record *seen(rpc_call *call, void *result) {
    std::lock_guard<std::mutex> hold(lock);
    toy_seen = *call;
    toy_runs.fetch_add(1);
    return static_cast<toy_record *>(result);
}

inline bool run_echo(xprt *, rpc_call *call, void *args, void *result) {
    memcpy(seen(call, result), args, sizeof(toy_record));
    return true;
}

inline bool run_counter(xprt *, rpc_call *call, void *, void *result) {
    toy_record *r = seen(call, result);
    r->length = 4;
    store_be32(r->bytes, toy_counter.fetch_add(1));
    return true;
}

// Counts the call in `inside`, waits until `want` are inside or `wait` has
// passed, and answers how many it saw.
inline bool meet(rpc_call *call, void *result, uint32_t *inside, uint32_t want,
                 std::chrono::milliseconds wait) {
    toy_record *r = seen(call, result);
    std::unique_lock<std::mutex> hold(lock);
    ++*inside;
    gate.notify_all();
    gate.wait_for(hold, wait, [&] { return *inside >= want; });
    r->length = 4;
    store_be32(r->bytes, *inside);
    return true;
}

inline bool run_gate(xprt *, rpc_call *call, void *, void *result) {
    return meet(call, result, &gate_inside, GATE_WANT, std::chrono::seconds(5));
}

inline bool run_pair(xprt *, rpc_call *call, void *, void *result) {
    return meet(call, result, &pair_inside, 2, std::chrono::milliseconds(300));
}

constexpr uint32_t SIZE = sizeof(toy_record);
inline const rpc_proc toy_procs[] = {
    {.number = TOY_ECHO, .name = "echo", .decode = decode_echo, .args_size = SIZE, .run = run_echo,
     .encode = encode_record, .result_size = SIZE, .garbage_log = "toy_echo: cannot read args\n"},
    {.number = TOY_COUNTER, .name = "counter", .run = run_counter, .encode = encode_record,
     .result_size = SIZE, .slot = &toy_slot, .save = &counter_save, .save_size = SIZE},
    {.number = TOY_GATE, .name = "gate", .run = run_gate, .encode = encode_record,
     .result_size = SIZE},
    {.number = TOY_PAIR, .name = "pair", .run = run_pair, .encode = encode_record,
     .result_size = SIZE, .quick = true},
};

inline const rpc_program toy_table = {toy_procs, sizeof toy_procs / sizeof toy_procs[0], nullptr, nullptr};

}  // namespace toy_detail

// Forgets runs, the slot and the gate; the counter starts at 100.
inline void toy_reset() {
    toy_runs.store(0);
    toy_counter = 100;
    toy_slot.state.store(0);
    toy_slot.xid = toy_slot.addr = toy_slot.port = 0;
    std::lock_guard<std::mutex> hold(toy_detail::lock);
    toy_seen = rpc_call{};
    toy_detail::gate_inside = toy_detail::pair_inside = 0;
}

inline void toy_program(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &toy_detail::toy_table);
}

// Registers TOY_PROG version `vers` for `protocol` on `xp`, for the life of
// the object. The test programs have no portmapper to tell: the seam stays off.
struct toy_registration {
    toy_registration(xprt *xp, uint32_t v, uint16_t p) : vers(v), protocol(p) {
        rpc_pmap_call = nullptr;
        ok = rpc_register(xp, TOY_PROG, vers, toy_program, protocol);
        rpc_set_quick(TOY_PROG, vers, &toy_detail::toy_table);
    }
    ~toy_registration() { rpc_unregister(TOY_PROG, vers, protocol); }
    toy_registration(const toy_registration &) = delete;
    toy_registration &operator=(const toy_registration &) = delete;
    uint32_t vers;
    uint16_t protocol;
    bool ok;
};
