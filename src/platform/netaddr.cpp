// Host names and local addresses, the same on every host: the resolver
// calls are the BSD ones Winsock shares; only the interface table is read
// by each host's own call (net_interface_addresses).
#include "platform/net.h"

#ifndef _WIN32
#include <netdb.h>
#endif

#include <cstring>
#include <mutex>

#include "platform/clock.h"

bool net_host_address(const char *name, uint32_t *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool net_host_name(uint32_t address, char *name, uint32_t size) {
    if (size == 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    // getnameinfo rather than gethostbyaddr: look-ups run on several threads
    // at once. NI_NAMEREQD: an address without a name is no name.
    char found[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, found, sizeof found,
                    nullptr, 0, NI_NAMEREQD) != 0)
        return false;
    size_t n = strnlen(found, size - 1);
    memcpy(name, found, n);
    name[n] = 0;
    return true;
}

namespace {

// The interface addresses, read without a name look-up. A caller whose
// address is missing reads the table again, at most once a second, so a
// flood of strangers costs one interface read a second, not one each.
constexpr uint32_t LOCAL_MAX = 64;
constexpr uint32_t LOCAL_REFRESH_MS = 1000;
std::mutex local_lock;
uint32_t local_addrs[LOCAL_MAX];
uint32_t local_count = 0;
uint32_t local_read_at = 0;
bool local_read = false;

// Lock held.
void read_interfaces() {
    local_read = true;
    local_read_at = tick_count();
    local_count = net_interface_addresses(local_addrs, LOCAL_MAX);
}

bool known_local(uint32_t addr) {
    for (uint32_t i = 0; i < local_count; i++)
        if (local_addrs[i] == addr) return true;
    return false;
}

}  // namespace

void net_local_addresses_refresh() {
    std::lock_guard<std::mutex> hold(local_lock);
    read_interfaces();
}

bool net_is_local_address(uint32_t addr) {
    if (addr == htonl(INADDR_LOOPBACK)) return true;
    std::lock_guard<std::mutex> hold(local_lock);
    if (known_local(addr)) return true;
    if (local_read && tick_count() - local_read_at < LOCAL_REFRESH_MS) return false;
    read_interfaces();
    return known_local(addr);
}
