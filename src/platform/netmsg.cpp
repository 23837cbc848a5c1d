// The address control message, the same on every host (see netmsg.h).
#include "platform/netmsg.h"

#include <cstring>

#include "platform/net.h"

#ifdef _WIN32
#include <mswsock.h>
typedef WSACMSGHDR netmsg_header;
typedef IN_PKTINFO netmsg_info;
#define NETMSG_LEN WSA_CMSG_LEN
#define NETMSG_SPACE WSA_CMSG_SPACE
#define NETMSG_INFO_SOURCE ipi_addr  // Winsock takes the source here
#else
typedef cmsghdr netmsg_header;
typedef in_pktinfo netmsg_info;
#define NETMSG_LEN CMSG_LEN
#define NETMSG_SPACE CMSG_SPACE
#define NETMSG_INFO_SOURCE ipi_spec_dst
#endif

static_assert(NETMSG_SPACE(sizeof(netmsg_info)) <= NETMSG_CONTROL_SIZE, "control area too small");

bool netmsg_source_usable(uint32_t local) {
    return local != 0 && !IN_MULTICAST(ntohl(local)) && local != INADDR_BROADCAST;
}

uint32_t netmsg_fill_source(void *control, uint32_t local) {
    netmsg_header h{};
    h.cmsg_level = IPPROTO_IP;
    h.cmsg_type = IP_PKTINFO;
    h.cmsg_len = NETMSG_LEN(sizeof(netmsg_info));
    netmsg_info info{};
    info.NETMSG_INFO_SOURCE.s_addr = local;
    uint8_t *p = static_cast<uint8_t *>(control);
    memset(p, 0, NETMSG_SPACE(sizeof info));
    memcpy(p, &h, sizeof h);
    memcpy(p + NETMSG_LEN(0), &info, sizeof info);
    return uint32_t(NETMSG_SPACE(sizeof info));
}

uint32_t netmsg_destination(const void *control, uint64_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(control);
    uint32_t found = 0;
    for (uint64_t at = 0; at + sizeof(netmsg_header) <= len;) {
        netmsg_header h;
        memcpy(&h, p + at, sizeof h);
        // A length that does not cover its own header would never advance.
        if (h.cmsg_len < NETMSG_LEN(0) || h.cmsg_len > len - at) break;
        if (h.cmsg_level == IPPROTO_IP && h.cmsg_type == IP_PKTINFO &&
            h.cmsg_len >= NETMSG_LEN(sizeof(netmsg_info))) {
            netmsg_info info;
            memcpy(&info, p + at + NETMSG_LEN(0), sizeof info);
            found = info.ipi_addr.s_addr;
        }
        at += NETMSG_SPACE(h.cmsg_len - NETMSG_LEN(0));
    }
    return found;
}
