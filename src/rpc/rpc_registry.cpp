// The registry of served programs: a list that start-up fills and stop
// empties while receiving threads may be walking it.
#include <mutex>
#include <new>

#include "rpc/clnt.h"
#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_proc.h"

rpc_pmap_fn rpc_pmap_call = clnt_pmap_call;

namespace {

std::atomic<rpc_entry *> registry{nullptr};
// Entries taken out of the list. A worker may still be reading one when it
// is unlinked, so they are kept (and reused for the same pair) rather than
// freed.
rpc_entry *retired = nullptr;
// Writers only: start-up and stop run on different threads.
std::mutex registry_lock;

rpc_entry *find(uint32_t prog, uint32_t vers) {
    for (rpc_entry *e = registry.load(std::memory_order_acquire); e;
         e = e->next.load(std::memory_order_acquire))
        if (e->prog == prog && e->vers == vers) return e;
    return nullptr;
}

rpc_entry *take_retired(uint32_t prog, uint32_t vers, rpc_handler handler) {
    for (rpc_entry **p = &retired; *p; p = &(*p)->retired_next) {
        rpc_entry *e = *p;
        if (e->prog == prog && e->vers == vers && e->handler == handler) {
            *p = e->retired_next;
            return e;
        }
    }
    return nullptr;
}

}  // namespace

rpc_entry *rpc_registry_first() {
    return registry.load(std::memory_order_acquire);
}

bool rpc_register(xprt *xp, uint32_t prog, uint32_t vers, rpc_handler handler, uint32_t protocol) {
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        rpc_entry *e = find(prog, vers);
        if (e && e->handler != handler) return false;
        if (!e) {
            e = take_retired(prog, vers, handler);
            if (!e) e = new (std::nothrow) rpc_entry{{nullptr}, prog, vers, handler, nullptr, {0}};
            if (!e) return false;
            // Complete before it is published: readers see all or nothing.
            e->next.store(registry.load(std::memory_order_relaxed), std::memory_order_relaxed);
            registry.store(e, std::memory_order_release);
        }
    }
    if (!rpc_pmap_call) return true;
    return rpc_pmap_call(true, prog, vers, protocol, xp->port);
}

void rpc_unregister(uint32_t prog, uint32_t vers, uint32_t protocol) {
    if (rpc_pmap_call) rpc_pmap_call(false, prog, vers, protocol, 0);
    std::lock_guard<std::mutex> hold(registry_lock);
    std::atomic<rpc_entry *> *link = &registry;
    for (rpc_entry *e = link->load(); e; e = link->load()) {
        if (e->prog == prog && e->vers == vers) {
            // Unlink only; e->next stays valid for a reader standing on e.
            link->store(e->next.load(std::memory_order_relaxed), std::memory_order_release);
            e->retired_next = retired;
            retired = e;
            return;
        }
        link = &e->next;
    }
}

void rpc_set_quick(uint32_t prog_number, uint32_t vers, const rpc_program *prog) {
    uint64_t mask = 0;
    for (uint32_t i = 0; i < prog->count && i < 64; i++)
        if (prog->procs[i].quick) mask |= uint64_t(1) << i;
    std::lock_guard<std::mutex> hold(registry_lock);
    if (rpc_entry *e = find(prog_number, vers)) e->quick.store(mask, std::memory_order_relaxed);
}

bool rpc_call_quick(const rpc_call *call) {
    rpc_entry *e = find(call->prog, call->vers);
    return e && call->proc < 64 && (e->quick.load(std::memory_order_relaxed) >> call->proc & 1);
}
