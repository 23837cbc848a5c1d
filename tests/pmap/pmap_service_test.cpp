// The portmapper service on port 111 of a private network namespace: TCP
// connections with their own threads, peers that say nothing or leave
// half-way, and strangers or callers that would hold its thread. The
// program's own tests show a busy port, the stop and the server's own
// mappings; the rules of SET and UNSET are the procedures' test.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "pmap/pmap.h"
#include "pmap/pmap_internal.h"
#include "rpc/loop.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr uint32_t SET = 1, UNSET = 2, GETPORT = 3, DUMP = 4, CALLIT = 5;
constexpr uint32_t P = 0x20000042;  // a test program

rpc_bytes pmap_msg(uint32_t xid, uint32_t proc, const rpc_words &args) {
    return rpc_msg_args(xid, 100000, 2, proc, args);
}

// Port 111 of the test's own network namespace.
class PmapService : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
        ASSERT_TRUE(pmap_start());
    }
    void TearDown() override { pmap_stop(); }
};

TEST_F(PmapService, TcpIsServedDespiteSilentVanishingAndOversizedPeers) {
    sock_t silent = rpc_tcp_connect(111);
    sock_t half = rpc_tcp_connect(111);
    ASSERT_NE(silent, SOCK_INVALID);
    ASSERT_NE(half, SOCK_INVALID);
    std::vector<uint8_t> part;
    rpc_msg_word(part, 0x80000000u | 40);
    part.resize(20);
    send(half, part.data(), part.size(), MSG_NOSIGNAL);
    sock_close(half);
    // A connection's message area is 8192 bytes: a record of 8188 is still
    // served (a DUMP with arguments: GARBAGE_ARGS), one byte more closes it.
    sock_t big = rpc_tcp_connect(111);
    auto full = pmap_msg(10, DUMP, std::vector<uint32_t>((8188 - 40) / 4, 0));
    ASSERT_EQ(full.size(), 8188u);
    ASSERT_TRUE(rpc_tcp_send(big, full));
    EXPECT_EQ(rpc_msg_words(rpc_tcp_recv(big)), (std::vector<uint32_t>{10, 1, 0, 0, 0, 4}));
    std::vector<uint8_t> mark;
    rpc_msg_word(mark, 0x80000000u | 8189);
    send(big, mark.data(), mark.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(rpc_tcp_closed(big));
    sock_close(big);
    // UDP and new connections are still answered; DUMP lists TCP first;
    // CALLIT is refused over TCP.
    EXPECT_EQ(rpc_msg_words(rpc_udp_call(111, pmap_msg(8, 3, {100000, 2, 17, 0}))),
              (std::vector<uint32_t>{8, 1, 0, 0, 0, 0, 111}));
    sock_t c = rpc_tcp_connect(111);
    auto dump = pmap_msg(5, DUMP, {});
    ASSERT_TRUE(rpc_tcp_send(c, dump, {12, uint32_t(dump.size()) - 12}));
    EXPECT_EQ(
        rpc_msg_words(rpc_tcp_recv(c)),
        (std::vector<uint32_t>{5, 1, 0, 0, 0, 0, 1, 100000, 2, 6, 111, 1, 100000, 2, 17, 111, 0}));
    ASSERT_TRUE(rpc_tcp_send(c, pmap_msg(6, CALLIT, {100000, 2, 0, 0})));
    EXPECT_EQ(rpc_msg_words(rpc_tcp_recv(c)), (std::vector<uint32_t>{6, 1, 0, 0, 0, 3}));
    sock_close(c);
    sock_close(silent);
}

// The single result word of SET, UNSET or GETPORT sent from `from` (empty
// reply: ~0u).
uint32_t answer(uint32_t proc, const rpc_words &args, const char *from = "127.0.0.1") {
    rpc_bytes r = rpc_udp_call(111, pmap_msg(proc, proc, args), 3000, from);
    return r.size() == 28 ? rpc_msg_word_at(r, 6) : ~0u;
}

// The first name server of resolv.conf (127.0.0.1 when none is named).
std::string name_server() {
    std::ifstream conf("/etc/resolv.conf");
    std::string line, key, value;
    while (std::getline(conf, line)) {
        std::istringstream words(line);
        if (words >> key >> value && key == "nameserver") return value;
    }
    return "127.0.0.1";
}

// A name server that never answers: its address is put on this namespace's
// loopback and a socket there takes the queries and says nothing; the host
// gets a name of its own (UTS namespace) that no hosts file knows. A look-up
// of the host's name then waits for the resolver's whole time-out.
TEST_F(PmapService, StrangersNeverMakeItWaitOnTheResolver) {
    std::string ns = name_server();
    in_addr ns_addr{};
    if (inet_pton(AF_INET, ns.c_str(), &ns_addr) != 1) GTEST_SKIP() << "name server " << ns;
    ASSERT_EQ(system(("ip addr add " + ns + "/32 dev lo 2>/dev/null; true").c_str()), 0);
    sock_t silent = udp_socket(ns_addr.s_addr, 53);
    ASSERT_NE(silent, SOCK_INVALID);
    // A namespace belongs to the thread that makes it and those it starts
    // afterwards: the portmapper starts again below.
    pmap_stop();
    ASSERT_EQ(unshare(CLONE_NEWUTS), 0);
    const char name[] = "nimbora-host-nobody-knows";
    ASSERT_EQ(sethostname(name, sizeof name - 1), 0);
    ASSERT_TRUE(pmap_start());
    auto start = clock_type::now();
    for (uint32_t i = 0; i < 5; i++)
        EXPECT_EQ(answer(SET, {P + i, 1, 17, 3000 + i}, "127.0.0.2"), 0u) << "a stranger's SET";
    EXPECT_EQ(answer(GETPORT, {100000, 2, 17, 0}), 111u);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    sock_close(silent);
}

TEST_F(PmapService, AnAddressAddedAfterStartIsLearntOnDemand) {
    ASSERT_EQ(system("ip addr add 10.9.8.7/32 dev lo"), 0);
    // The interface table is read again at most once a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(answer(SET, {P, 1, 17, 3000}, "10.9.8.7"), 1u);
    EXPECT_EQ(answer(SET, {P, 2, 17, 3000}, "127.0.0.2"), 0u) << "still a stranger";
    system("ip addr del 10.9.8.7/32 dev lo");
}

// Five indirect calls to a program that never answers: each holds a
// forwarder for 2 s (the fifth finds none free and is dropped), never the
// thread that answers everyone else.
TEST_F(PmapService, SilentCallitTargetsDoNotHoldThePortmapper) {
    rpc_fake silent(RPC_UDP, 0, 0, {}, false, true);
    rpc_fake echo(RPC_UDP, 0, 0, rpc_msg_bytes({0xCAFE}));
    ASSERT_EQ(answer(SET, {P, 1, 17, silent.port}), 1u);
    ASSERT_EQ(answer(SET, {P + 1, 1, 17, echo.port}), 1u);
    sock_t caller = udp_socket(htonl(INADDR_LOOPBACK), 0);
    auto start = clock_type::now();
    for (uint32_t i = 0; i < 5; i++)
        rpc_udp_exchange(caller, 111, pmap_msg(50 + i, CALLIT, {P, 1, 0, 0}), 0);
    rpc_bytes dump = rpc_udp_call(111, pmap_msg(9, DUMP, {}), 3000);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(rpc_msg_word_at(dump, 0), 9u) << "DUMP answered meanwhile";
    EXPECT_TRUE(rpc_recv_datagram(caller, 2500).empty()) << "no answer to a silent target";
    EXPECT_EQ(silent.calls(), int(PMAP_FORWARDERS));
    // The forwarders are free again.
    rpc_bytes r = rpc_udp_exchange(caller, 111, pmap_msg(60, CALLIT, {P + 1, 1, 0, 0}), 3000);
    EXPECT_EQ(rpc_msg_words(r), (rpc_words{60, 1, 0, 0, 0, 0, echo.port, 4, 0xCAFE}));
    sock_close(caller);
}

}  // namespace
