// The select loop: UDP calls and TCP connections served, the sweep on its
// beat, the 64-socket limit, and closing every transport from another
// thread while the loop waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "rpc/loop.h"
#include "server/log.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

bool udp_port_free(uint16_t port) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), port);
    if (s == SOCK_INVALID) return false;
    sock_close(s);
    return true;
}

rpc_bytes null_call(uint32_t xid) {
    return rpc_msg_call(xid, TOY_PROG, 1, TOY_NULL);
}

class SelectLoop : public ::testing::Test {
   protected:
    void SetUp() override {
        xprt_stop.store(0);
        xprt_reset();
        ASSERT_TRUE(reg_.ok);
    }
    void TearDown() override {
        xprt_close_all();
        if (loop_.joinable()) loop_.join();
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
    xprt dummy_{};
    toy_registration reg_{&dummy_, 1, RPC_UDP};
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
    sock_t silent = rpc_tcp_connect(tcp);
    ASSERT_NE(silent, SOCK_INVALID);
    auto r = rpc_udp_call(udp, null_call(11));
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(rpc_msg_word_at(r, 0), 11u);
    sock_t c = rpc_tcp_connect(tcp);
    ASSERT_NE(c, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(c, rpc_msg_args(12, TOY_PROG, 1, TOY_ECHO, {5, 6})));
    r = rpc_tcp_recv(c);
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(rpc_msg_word_at(r, 7), 6u);
    sock_close(c);
    // A listener without a connection size closes what it accepts at once.
    c = rpc_tcp_connect(sizeless);
    EXPECT_TRUE(rpc_tcp_closed(c));
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
