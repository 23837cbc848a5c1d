// The TCP transport: records assembled from fragments, records that do not
// fit, peers that stall or vanish, listening sockets, and a connection thread
// serving one client's calls in order.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "rpc/loop.h"
#include "support/pmap_net.h"
#include "support/rpc_msg.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A connected pair: `server` wrapped in a TCP record of message area `size`
// (xprt_create adds 512), `client` the peer's socket.
class TcpPair : public ::testing::Test {
   protected:
    void open(uint32_t size) {
        sock_t listener = tcp_listen_socket("127.0.0.1", 0);
        ASSERT_NE(listener, SOCK_INVALID);
        client_ = pmap_tcp_connect(rpc_sock_port(listener));
        ASSERT_NE(client_, SOCK_INVALID);
        sock_t s = accept(listener, nullptr, nullptr);
        sock_close(listener);
        ASSERT_NE(s, SOCK_INVALID);
        xp_ = xprt_create(s, RPC_TCP, 0, size);
        ASSERT_NE(xp_, nullptr);
    }
    void close_pair() {
        if (xp_) {
            sock_close(xp_->sock);
            xprt_free(xp_);
        }
        if (client_ != SOCK_INVALID) sock_close(client_);
        xp_ = nullptr;
        client_ = SOCK_INVALID;
    }
    void TearDown() override { close_pair(); }
    void send_raw(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    static std::vector<uint8_t> pattern(size_t n) {
        std::vector<uint8_t> m(n);
        for (size_t i = 0; i < n; i++) m[i] = uint8_t(i * 7 + 1);
        return m;
    }
    std::vector<uint8_t> received() const { return {xp_->msg, xp_->msg + xp_->count}; }
    xprt *xp_ = nullptr;
    sock_t client_ = SOCK_INVALID;
};

TEST_F(TcpPair, FragmentsJoinIntoOneRecordThatMustFitAndArriveWhole) {
    open(100);  // size 612: a record may hold 608 bytes
    // Fragments of odd lengths, and one of none, are joined into one record.
    auto fits = pattern(608);
    ASSERT_TRUE(pmap_tcp_send(client_, fits, {3, 0, 97, 508}));
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), fits);
    // 600 bytes in a first fragment, then 9 more: one byte too many.
    ASSERT_TRUE(pmap_tcp_send(client_, pattern(609), {600, 9}));
    EXPECT_FALSE(tcp_receive_record(xp_, -1));
    // A single mark announcing one byte too many fails before any data.
    close_pair();
    open(100);
    std::vector<uint8_t> mark;
    rpc_msg_word(mark, 0x80000000u | 609);
    send_raw(mark);
    EXPECT_FALSE(tcp_receive_record(xp_, -1));
    // A peer going away in the middle of a record.
    close_pair();
    open(100);
    mark.clear();
    rpc_msg_word(mark, 0x80000000u | 100);
    mark.resize(4 + 40);
    send_raw(mark);
    sock_close(client_);
    client_ = SOCK_INVALID;
    EXPECT_FALSE(tcp_receive_record(xp_, -1));
}

TEST_F(TcpPair, StallBetweenFragmentsTimesOutWithLogLine) {
    open(1000);
    // The wait must hold for a descriptor beyond the reach of an fd_set, as
    // a busy server's client calls get.
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const int high = FD_SETSIZE + 100;
    if (lim.rlim_cur <= rlim_t(high)) {
        lim.rlim_cur = lim.rlim_max > rlim_t(high) ? rlim_t(high) + 1 : lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    ASSERT_EQ(dup2(xp_->sock, high), high);
    sock_close(xp_->sock);
    xp_->sock = high;
    log_capture log;
    auto msg = pattern(160);
    std::vector<uint8_t> first;
    rpc_msg_word(first, 100);  // not the last fragment
    first.insert(first.end(), msg.begin(), msg.begin() + 100);
    send_raw(first);
    auto start = clock_type::now();
    EXPECT_FALSE(tcp_receive_record(xp_, 300));
    auto waited = clock_type::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(280));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_EQ(log.text(), "RPC tcp receive timeout\n");
}

// A connection thread on a real accepted socket: calls in order, then an
// oversized record closes the connection.
TEST_F(TcpPair, ConnectionServesCallsInOrderUntilARecordIsTooLarge) {
    rpc_pmap_call = nullptr;
    xprt listen_rec{};
    ASSERT_TRUE(rpc_register(&listen_rec, PMAP_TEST_PROG, 1, pmap_test_program, RPC_TCP));
    open(500);
    xprt *served = xp_;
    xp_ = nullptr;  // the thread frees it
    std::thread conn(tcp_connection, served);
    for (uint32_t xid = 1; xid <= 3; xid++) {
        auto call = pmap_msg(xid, 1, {xid * 10, xid * 10 + 1}, 1, PMAP_TEST_PROG);
        ASSERT_TRUE(pmap_tcp_send(client_, call, {20, uint32_t(call.size()) - 20}));
        auto reply = pmap_tcp_recv(client_);
        ASSERT_EQ(reply.size(), 32u);
        EXPECT_EQ(pmap_word(reply, 0), xid);
        EXPECT_EQ(pmap_word(reply, 5), 0u);
        EXPECT_EQ(pmap_word(reply, 6), xid * 10);
        EXPECT_EQ(pmap_word(reply, 7), xid * 10 + 1);
    }
    std::vector<uint8_t> big;
    rpc_msg_word(big, 0x80000000u | 1010);  // buffer 1012: at most 1008
    send_raw(big);
    uint8_t byte;
    EXPECT_EQ(recv(client_, &byte, 1, 0), 0) << "closed without an answer";
    conn.join();
    rpc_unregister(PMAP_TEST_PROG, 1, RPC_TCP);
}

}  // namespace
