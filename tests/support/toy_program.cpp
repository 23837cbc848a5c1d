#include "support/toy_program.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "rpc/rpc_proc.h"

std::atomic<int> toy_runs{0};
rpc_call toy_seen;
uint32_t toy_counter = 100;
rpc_replay_slot toy_slot;

namespace {

constexpr uint32_t ECHO_MAX = 1024, WORD = sizeof(uint32_t), GATE_WANT = 4;

struct echo_record {
    uint32_t length;
    uint8_t bytes[ECHO_MAX];
};

uint32_t counter_save;
std::mutex lock;  // guards toy_seen and the gate
std::condition_variable gate;
uint32_t gate_inside;

bool decode_echo(rpc_call *call, void *args) {
    echo_record *e = static_cast<echo_record *>(args);
    if (call->arg_len > ECHO_MAX) return false;
    e->length = call->arg_len;
    memcpy(e->bytes, call->args, e->length);
    return true;
}

uint32_t encode_echo(uint8_t *out, const void *result) {
    const echo_record *e = static_cast<const echo_record *>(result);
    memcpy(out, e->bytes, e->length);
    return e->length;
}

uint32_t encode_word(uint8_t *out, const void *result) {
    return xdr_put_u32(out, *static_cast<const uint32_t *>(result));
}

uint32_t encode_words(uint8_t *out, const void *result) {
    const uint32_t *w = static_cast<const uint32_t *>(result);
    return xdr_pack(out, "qq", w[0], w[1]);
}

// Every run notes the call first, as a handler that reads the identity would.
void seen(rpc_call *call) {
    std::lock_guard<std::mutex> hold(lock);
    toy_seen = *call;
    toy_runs.fetch_add(1);
}

bool run_echo(xprt *, rpc_call *call, void *args, void *result) {
    seen(call);
    memcpy(result, args, sizeof(echo_record));
    return true;
}

bool run_counter(xprt *, rpc_call *call, void *, void *result) {
    seen(call);
    static_cast<uint32_t *>(result)[0] = toy_counter++;
    return true;
}

bool run_gate(xprt *xp, rpc_call *call, void *, void *result) {
    seen(call);
    std::unique_lock<std::mutex> hold(lock);
    gate_inside++;
    gate.notify_all();
    gate.wait_for(hold, std::chrono::seconds(5), [] { return gate_inside >= GATE_WANT; });
    static_cast<uint32_t *>(result)[0] = gate_inside;
    static_cast<uint32_t *>(result)[1] = xp->size;
    return true;
}

// clang-format off
const rpc_proc toy_procs[] = {
    {TOY_ECHO,    "echo",    decode_echo, sizeof(echo_record), run_echo,    encode_echo,
     sizeof(echo_record), "toy_echo: cannot read args\n", nullptr, nullptr, 0},
    {TOY_COUNTER, "counter", nullptr,     0,                   run_counter, encode_word,  WORD,
     nullptr, &toy_slot, &counter_save, WORD},
    {TOY_GATE,    "gate",    nullptr,     0,                   run_gate,    encode_words, 2 * WORD,
     nullptr, nullptr, nullptr, 0},
};
// clang-format on

const rpc_program toy_table = {toy_procs, sizeof toy_procs / sizeof toy_procs[0], nullptr, nullptr};

}  // namespace

void toy_reset() {
    toy_runs.store(0);
    toy_counter = 100;
    toy_slot.state.store(0);
    toy_slot.xid = toy_slot.addr = toy_slot.port = 0;
    std::lock_guard<std::mutex> hold(lock);
    toy_seen = rpc_call{};
    gate_inside = 0;
}

void toy_program(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &toy_table);
}

toy_registration::toy_registration(xprt *xp, uint32_t v, uint16_t p) : vers(v), protocol(p) {
    rpc_pmap_fn before = rpc_pmap_call;
    rpc_pmap_call = nullptr;
    ok = rpc_register(xp, TOY_PROG, vers, toy_program, protocol);
    rpc_pmap_call = before;
}

toy_registration::~toy_registration() {
    rpc_pmap_fn before = rpc_pmap_call;
    rpc_pmap_call = nullptr;
    rpc_unregister(TOY_PROG, vers, protocol);
    rpc_pmap_call = before;
}
