// For the host layer's datagram calls only: the control message that names
// a datagram's address (IP_PKTINFO), read and written in one place for both
// hosts. Their control messages share one layout (length, level, type, then
// the data, each message aligned); only the names of the types differ.
#pragma once

#include <cstdint>

// Room for the one control message the datagram calls exchange.
constexpr uint32_t NETMSG_CONTROL_SIZE = 64;

// True when a reply can leave from `local`: an address, not broadcast, not
// multicast.
bool netmsg_source_usable(uint32_t local);

// Writes into `control` (NETMSG_CONTROL_SIZE bytes) the one message that
// sends a datagram from `local`; answers its length.
uint32_t netmsg_fill_source(void *control, uint32_t local);

// The destination named by the messages in the first `len` bytes of
// `control`; 0 when none names one. A malformed message ends the walk.
uint32_t netmsg_destination(const void *control, uint64_t len);
