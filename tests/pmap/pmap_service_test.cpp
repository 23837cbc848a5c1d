// The portmapper service on port 111 of a private network namespace: start
// and stop, a busy port, TCP connections with their own threads, and peers
// that say nothing or leave half-way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "pmap/pmap.h"
#include "rpc/loop.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr uint32_t DUMP = 4, CALLIT = 5;

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

TEST_F(PmapService, BusyPortFailsTheStartAndStopFreesThePort) {
    pmap_stop();
    sock_t busy = tcp_listen_socket(nullptr, 111);
    ASSERT_NE(busy, SOCK_INVALID);
    {
        log_capture log;
        EXPECT_FALSE(pmap_start());
        std::string text = log.text();
        EXPECT_NE(text.find(" bind on port 111 failed\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("ready"), std::string::npos);
    }
    sock_t udp = udp_socket(0, 111);
    EXPECT_NE(udp, SOCK_INVALID) << "the failed start left nothing bound";
    sock_close(udp);
    sock_close(busy);
    log_capture log;
    ASSERT_TRUE(pmap_start());
    EXPECT_NE(log.text().find(" pmapd ready on port 111\n"), std::string::npos);
    auto start = clock_type::now();
    pmap_stop();
    EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(500));
    pmap_stop();  // a second stop does nothing
    udp = udp_socket(0, 111);
    EXPECT_NE(udp, SOCK_INVALID);
    sock_close(udp);
    ASSERT_TRUE(pmap_start());
}

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

}  // namespace
