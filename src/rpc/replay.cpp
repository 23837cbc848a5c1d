// The replay cache of non-idempotent procedures. A client that retransmits
// a CREATE or REMOVE whose reply got lost must see the first result, not the
// error that doing it twice would give. The state word owns each slot: a
// thread takes it by moving it to -1 (acquire) and hands it back by storing
// 1 (release), so fields and save area are never read while being written.
#include <cstring>

#include "rpc/rpc.h"

namespace {

// A zero-initialised slot (state 0) is empty.
constexpr int16_t SLOT_BUSY = -1;
constexpr int16_t SLOT_VALID = 1;

}  // namespace

bool rpc_replay_check(xprt *xp, rpc_call *call, rpc_replay_slot *slot, rpc_encoder encoder,
                      const void *save) {
    int16_t valid = SLOT_VALID;
    // Empty or busy elsewhere: nothing to answer from, the call runs.
    if (!slot->state.compare_exchange_strong(valid, SLOT_BUSY, std::memory_order_acquire))
        return false;
    bool same = slot->xid == xp->xid && slot->addr == xp->peer.sin_addr.s_addr &&
                slot->port == xp->peer.sin_port;
    if (same) rpc_reply(xp, call, encoder, save);
    slot->state.store(SLOT_VALID, std::memory_order_release);
    return same;
}

void rpc_replay_save(xprt *xp, rpc_replay_slot *slot, void *save, const void *result,
                     uint32_t size) {
    int16_t state = slot->state.load(std::memory_order_relaxed);
    do {
        // A replay or save of this slot is under way on another thread.
        if (state == SLOT_BUSY) return;
    } while (!slot->state.compare_exchange_weak(state, SLOT_BUSY, std::memory_order_acquire));
    slot->xid = xp->xid;
    slot->addr = xp->peer.sin_addr.s_addr;
    slot->port = xp->peer.sin_port;
    if (save != result) memcpy(save, result, size);
    slot->state.store(SLOT_VALID, std::memory_order_release);
}
