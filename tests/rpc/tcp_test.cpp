// The TCP transport and replies: records assembled from fragments, records
// that do not fit, peers that stall or vanish, a connection thread serving
// one client's calls in order, record-marked replies, and transport records.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "rpc/loop.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A connected pair: `server` wrapped in a TCP record of message area `size`
// (xprt_create adds 512), `client` the peer's socket.
class TcpPair : public ::testing::Test {
   protected:
    void open(uint32_t size) {
        sock_t listener = tcp_listen_socket("127.0.0.1", 0);
        ASSERT_NE(listener, SOCK_INVALID);
        client_ = rpc_tcp_connect(rpc_sock_port(listener));
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
    ASSERT_TRUE(rpc_tcp_send(client_, fits, {3, 0, 97, 508}));
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), fits);
    // 600 bytes in a first fragment, then 9 more: one byte too many.
    ASSERT_TRUE(rpc_tcp_send(client_, pattern(609), {600, 9}));
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
    xprt listen_rec{};
    toy_registration reg(&listen_rec, 1, RPC_TCP);
    open(500);
    xprt *served = xp_;
    xp_ = nullptr;  // the thread frees it
    std::thread conn(tcp_connection, served);
    for (uint32_t xid = 1; xid <= 3; xid++) {
        auto call = rpc_msg_args(xid, TOY_PROG, 1, TOY_ECHO, {xid * 10, xid * 10 + 1});
        ASSERT_TRUE(rpc_tcp_send(client_, call, {20, uint32_t(call.size()) - 20}));
        auto reply = rpc_tcp_recv(client_);
        ASSERT_EQ(reply.size(), 32u);
        EXPECT_EQ(rpc_msg_word_at(reply, 0), xid);
        EXPECT_EQ(rpc_msg_word_at(reply, 5), 0u);
        EXPECT_EQ(rpc_msg_word_at(reply, 6), xid * 10);
        EXPECT_EQ(rpc_msg_word_at(reply, 7), xid * 10 + 1);
    }
    std::vector<uint8_t> big;
    rpc_msg_word(big, 0x80000000u | 1010);  // buffer 1012: at most 1008
    send_raw(big);
    EXPECT_TRUE(rpc_tcp_closed(client_)) << "closed without an answer";
    conn.join();
}

// Replies: a reply larger than a fragment leaves in several, only the last
// marked last, with the borrowed bytes in front of each fragment given back.
uint32_t pattern_result(uint8_t *out, const void *result) {
    uint32_t n = *static_cast<const uint32_t *>(result);
    for (uint32_t i = 0; i < n; i++) out[i] = uint8_t(i % 251);
    return n;
}

TEST(RpcReplyTcp, LargeReplyLeavesInFragmentsOnlyTheLastMarkedLast) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    xprt *xp = xprt_create(sv[0], RPC_TCP, 2049, 100);  // size 612: fragments of 608
    ASSERT_NE(xp, nullptr);
    EXPECT_EQ(xp->msg, xp->buffer + 4);
    rpc_call call{};
    xp->xid = 0x1234;
    const uint8_t front[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    memcpy(xp->buffer, front, 4);
    // A reply filling the whole message area leaves in two fragments.
    uint32_t n = 588;
    ASSERT_TRUE(rpc_reply(xp, &call, pattern_result, &n));
    ASSERT_EQ(xp->count, 612);
    rpc_bytes wire(4 + 608 + 4 + 4);
    ASSERT_EQ(recv(sv[1], wire.data(), wire.size(), MSG_WAITALL), ssize_t(wire.size()));
    EXPECT_EQ(rpc_msg_word_at(wire, 0), 608u) << "first fragment, not last";
    EXPECT_EQ(rpc_msg_word_at(wire, 153), 0x80000000u | 4);
    rpc_bytes record(wire.begin() + 4, wire.begin() + 612);
    record.insert(record.end(), wire.begin() + 616, wire.end());
    EXPECT_EQ(rpc_msg_words(record.data(), 24), (rpc_words{0x1234, 1, 0, 0, 0, 0}));
    for (uint32_t i = 0; i < 588; i++) ASSERT_EQ(record[24 + i], uint8_t(i % 251)) << i;
    EXPECT_EQ(0, memcmp(xp->buffer, front, 4));
    EXPECT_EQ(0, memcmp(xp->msg, record.data(), record.size()));
    // Exactly one largest fragment is sent alone, with the last bit.
    n = 584;
    ASSERT_TRUE(rpc_reply(xp, &call, pattern_result, &n));
    EXPECT_EQ(rpc_msg_words(rpc_tcp_recv(sv[1])).size(), 152u);
    sock_close(sv[0]);
    sock_close(sv[1]);
    xprt_free(xp);
}

TEST(RpcReply, UnsendableSuccessReplyIsLoggedWithItsError) {
    log_capture log(1);
    rpc_rig rig;
    rpc_call call{};
    sock_close(rig.xp->sock);  // every sendto now fails with EBADF
    EXPECT_FALSE(rpc_reply(rig.xp, &call, rpc_void_result, nullptr));
    rpc_error_reply(rig.xp, &call, RPC_GARBAGE_ARGS);  // not reported
    rig.xp->sock = udp_socket(htonl(INADDR_LOOPBACK), 0);
    EXPECT_EQ(log.text(), "rpc: error cannot transmit reply 9\n");
}

TEST(Xprt, SizesBeyondTheByteCountAreRefused) {
    log_capture log(1);
    // 0xFFFFFF00 + 512 would wrap to a 256-byte area.
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0xFFFFFF00u), nullptr);
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(log.text(), "xprt_create: out of memory\nxprt_create: out of memory\n");
}

}  // namespace
