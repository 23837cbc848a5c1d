// The select loop: UDP calls and TCP connections served, the idle count and
// the stay-awake record on its beat, the 64-socket limit, and closing every
// transport from another thread while the loop waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/power.h"
#include "rpc/loop.h"
#include "server/log.h"
#include "support/pmap_net.h"
#include "support/rpc_msg.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit) {
    auto end = clock_type::now() + limit;
    while (clock_type::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

bool udp_port_free(uint16_t port) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), port);
    if (s == SOCK_INVALID) return false;
    sock_close(s);
    return true;
}

std::vector<uint8_t> null_call(uint32_t xid) {
    return pmap_msg(xid, 0, {}, 1, PMAP_TEST_PROG);
}

class SelectLoop : public ::testing::Test {
   protected:
    void SetUp() override {
        rpc_pmap_call = nullptr;
        xprt_stop.store(0);
        xprt_idle.store(0);
        xprt_reset();
        xprt dummy{};
        ASSERT_TRUE(rpc_register(&dummy, PMAP_TEST_PROG, 1, pmap_test_program, RPC_UDP));
    }
    void TearDown() override {
        xprt_close_all();
        if (loop_.joinable()) loop_.join();
        rpc_unregister(PMAP_TEST_PROG, 1, RPC_UDP);
        xprt_stop.store(0);
    }
    // A UDP record on a free loopback port, registered with the loop.
    uint16_t add_udp() {
        sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
        uint16_t port = rpc_sock_port(s);
        xprt_add(xprt_create(s, RPC_UDP, port, 1000));
        return port;
    }
    // A listener whose connections get message areas of `size`.
    uint16_t add_tcp(uint32_t size = 1000) {
        sock_t s = tcp_listen_socket("127.0.0.1", 0);
        uint16_t port = rpc_sock_port(s);
        xprt *xp = xprt_create(s, RPC_TCP, port, 0);
        xp->size = size;
        xprt_add(xp);
        return port;
    }
    void run() { loop_ = std::thread(select_loop); }
    std::thread loop_;
};

std::atomic<int> sweeps{0};
void count_sweep() {
    sweeps.fetch_add(1);
}

TEST_F(SelectLoop, ServesUdpAndTcpThenStopsAtOnceFromAnotherThread) {
    uint16_t udp = add_udp(), tcp = add_tcp(), sizeless = add_tcp(0);
    log_capture log;
    sweeps.store(0);
    select_loop_sweep = count_sweep;
    run();
    // A peer that connects and says nothing holds only its own thread.
    sock_t silent = pmap_tcp_connect(tcp);
    ASSERT_NE(silent, SOCK_INVALID);
    auto r = rpc_udp_call(udp, null_call(11));
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(pmap_word(r, 0), 11u);
    sock_t c = pmap_tcp_connect(tcp);
    ASSERT_NE(c, SOCK_INVALID);
    ASSERT_TRUE(pmap_tcp_send(c, pmap_msg(12, 1, {5, 6}, 1, PMAP_TEST_PROG)));
    r = pmap_tcp_recv(c);
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(pmap_word(r, 7), 6u);
    sock_close(c);
    // A listener without a connection size closes what it accepts at once.
    c = pmap_tcp_connect(sizeless);
    uint8_t byte;
    EXPECT_EQ(recv(c, &byte, 1, 0), 0);
    sock_close(c);
    // The loop sits in a 2-second select; closing must not wait for it.
    auto start = clock_type::now();
    xprt_close_all();
    loop_.join();
    EXPECT_LT(clock_type::now() - start, 1000ms);
    select_loop_sweep = nullptr;
    EXPECT_GE(sweeps.load(), 2) << "one sweep per pass";
    EXPECT_EQ(log.text(), "nfsd: tcp create error\n");
    sock_close(silent);
    EXPECT_TRUE(udp_port_free(udp));
    sock_t again = tcp_listen_socket("127.0.0.1", tcp);
    EXPECT_NE(again, SOCK_INVALID) << "listening socket closed";
    sock_close(again);
}

TEST_F(SelectLoop, IdleBeatsReleaseTheStayAwakeRequestAndACallRenewsIt) {
    uint16_t udp = add_udp();
    uint32_t before = power_request_count();
    run();
    ASSERT_TRUE(wait_for([] { return power_state() == 0x80000001u; }, 500ms));
    // One quiet beat counts one idle select.
    ASSERT_TRUE(wait_for([] { return xprt_idle.load() >= 1; }, 2500ms));
    xprt_idle.store(XPRT_IDLE_BEATS - 1);
    ASSERT_TRUE(wait_for([] { return power_state() == 0x80000000u; }, 4500ms));
    EXPECT_EQ(power_request_count(), before + 2);
    ASSERT_EQ(rpc_udp_call(udp, null_call(3)).size(), 24u);
    EXPECT_TRUE(wait_for([] { return power_state() == 0x80000001u; }, 500ms));
    EXPECT_LE(xprt_idle.load(), 1);
}

TEST_F(SelectLoop, RecordsBeyond64SocketsAreNeverServed) {
    std::vector<uint16_t> ports;
    for (int i = 0; i < 65; i++) ports.push_back(add_udp());
    run();
    EXPECT_EQ(rpc_udp_call(ports[63], null_call(1)).size(), 24u);
    EXPECT_TRUE(rpc_udp_call(ports[64], null_call(2), 300).empty());
}

TEST_F(SelectLoop, AnEmptySetEndsTheLoopWithAFatalError) {
    log_capture log;
    select_loop();
    EXPECT_EQ(log.text(), "nfsd: fatal read error 22\n");
}

}  // namespace
