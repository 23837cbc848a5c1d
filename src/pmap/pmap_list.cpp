// The table of mappings. The portmapper thread and every connection thread
// reach it at once, so each access takes the one lock; answers are copied
// out under it and sent after it is released.
#include <mutex>
#include <new>

#include "pmap/pmap_internal.h"
#include "rpc/clnt.h"

namespace {

constexpr uint32_t LOWEST_FREE_PORT = 1025;  // ports below are never mapped by callers
constexpr uint16_t PRIVILEGED_PORTS = 1024;  // a caller below binds only with the right to

std::mutex list_lock;
pmap_entry *list = nullptr;

// The entry for (prog, vers, prot), else the last of another version. Lock held.
pmap_entry *find(uint32_t prog, uint32_t vers, uint32_t prot) {
    pmap_entry *other = nullptr;
    for (pmap_entry *e = list; e; e = e->next) {
        if (e->prog != prog || e->prot != prot) continue;
        if (e->vers == vers) return e;
        other = e;
    }
    return other;
}

}  // namespace

bool pmap_list_reset() {
    pmap_entry *tcp =
        new (std::nothrow) pmap_entry{PMAP_PROG, PMAP_VERS, RPC_TCP, PMAP_PORT, nullptr, 0, 0};
    pmap_entry *udp =
        new (std::nothrow) pmap_entry{PMAP_PROG, PMAP_VERS, RPC_UDP, PMAP_PORT, nullptr, 0, 0};
    if (!tcp || !udp) {
        delete tcp;
        delete udp;
        return false;
    }
    tcp->next = udp;
    std::lock_guard<std::mutex> hold(list_lock);
    while (list) {
        pmap_entry *e = list;
        list = e->next;
        delete e;
    }
    list = tcp;
    return true;
}

bool pmap_lookup(uint32_t prog, uint32_t vers, uint32_t prot, pmap_entry *found) {
    std::lock_guard<std::mutex> hold(list_lock);
    pmap_entry *e = find(prog, vers, prot);
    if (!e) return false;
    *found = *e;
    found->next = nullptr;
    return true;
}

bool pmap_caller_allowed(const sockaddr_in *peer, uint32_t port) {
    return is_local_address(peer->sin_addr.s_addr) && (port == 0 || port >= LOWEST_FREE_PORT);
}

bool pmap_list_set(uint32_t prog, uint32_t vers, uint32_t prot, uint32_t port,
                   const sockaddr_in *setter) {
    // Allocated before the lock; a mapping is stored whole or not at all.
    pmap_entry *added = new (std::nothrow) pmap_entry{prog, vers, prot, port, nullptr, 0, 0};
    if (added && setter) {
        added->setter_addr = setter->sin_addr.s_addr;
        added->setter_port = setter->sin_port;
    }
    std::lock_guard<std::mutex> hold(list_lock);
    pmap_entry *e = find(prog, vers, prot);
    if (e && e->vers == vers) {
        delete added;
        return e->port == port;
    }
    if (!added) return false;
    pmap_entry **tail = &list;
    while (*tail) tail = &(*tail)->next;
    *tail = added;
    return true;
}

bool pmap_list_unset(uint32_t prog, uint32_t vers, const sockaddr_in *caller) {
    if (prog == PMAP_PROG) return false;
    bool privileged = ntohs(caller->sin_port) < PRIVILEGED_PORTS;
    pmap_entry *gone = nullptr;
    {
        std::lock_guard<std::mutex> hold(list_lock);
        for (pmap_entry **link = &list; *link; link = &(*link)->next) {
            pmap_entry *e = *link;
            if (e->prog != prog || e->vers != vers) continue;
            // Only the first match counts; a privileged port stays, and so
            // does a mapping that another unprivileged caller set.
            if (e->port < LOWEST_FREE_PORT) return false;
            bool setter =
                e->setter_addr == caller->sin_addr.s_addr && e->setter_port == caller->sin_port;
            if (!privileged && !setter) return false;
            *link = e->next;
            gone = e;
            break;
        }
    }
    delete gone;
    return gone != nullptr;
}

uint32_t pmap_list_copy(pmap_entry *out, uint32_t max) {
    std::lock_guard<std::mutex> hold(list_lock);
    uint32_t n = 0;
    for (pmap_entry *e = list; e && n < max; e = e->next) {
        out[n] = *e;
        out[n++].next = nullptr;
    }
    return n;
}
