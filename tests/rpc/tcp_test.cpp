// The TCP transport and replies: records assembled from fragments, records
// that do not fit, peers that stall or vanish, a connection thread serving
// one client's calls in order, record-marked replies, and transport records.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
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
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        sock_t s = accept(listener, reinterpret_cast<sockaddr *>(&peer), &len);
        sock_close(listener);
        ASSERT_NE(s, SOCK_INVALID);
        xp_ = xprt_create(s, RPC_TCP, 0, size);
        ASSERT_NE(xp_, nullptr);
        xp_->peer = peer;
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
    // Waits until `n` bytes sent by the client are ready at the server's end.
    void wait_arrived(int n) {
        int ready = 0;
        for (int i = 0; i < 200 && ready < n; i++) {
            ioctl(xp_->sock, FIONREAD, &ready);
            if (ready < n) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(ready, n);
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

TEST_F(TcpPair, EndlessEmptyFragmentsCloseTheConnectionWithALogLine) {
    open(100);
    log_capture log;
    auto record_after = [](uint32_t empty) {
        rpc_bytes wire;
        for (uint32_t i = 0; i < empty; i++) rpc_msg_word(wire, 0);
        rpc_msg_word(wire, 0x80000000u | 4);
        rpc_msg_word(wire, 0xABCD);
        return wire;
    };
    // 1023 empty fragments and the last one: 1024 fragments, still a record.
    send_raw(record_after(TCP_FRAGMENTS_MAX - 1));
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), rpc_msg_bytes({0xABCD}));
    // One more is one too many: a peer could otherwise keep a thread busy
    // for ever without sending a byte of a call.
    send_raw(record_after(TCP_FRAGMENTS_MAX));
    EXPECT_FALSE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(log.text(),
              "rpc: tcp record in more than 1024 fragments from 127.0.0.1, connection closed\n");
}

TEST_F(TcpPair, OneReceiveBringsTheCallAndTheCallsSentBehindIt) {
    open(1000);
    auto a = pattern(100), b = pattern(44), c = pattern(600);
    rpc_bytes wire;
    for (const rpc_bytes *m : {&a, &b, &c}) {
        // Each in two fragments.
        rpc_msg_word(wire, 8);
        wire.insert(wire.end(), m->begin(), m->begin() + 8);
        rpc_msg_word(wire, 0x80000000u | uint32_t(m->size() - 8));
        wire.insert(wire.end(), m->begin() + 8, m->end());
    }
    send_raw(wire);
    wait_arrived(int(wire.size()));
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), a);
    uint8_t byte;
    EXPECT_EQ(recv(xp_->sock, &byte, 1, MSG_DONTWAIT), -1) << "all of it came in one receive";
    // The reply overwrites the message area; the calls behind are kept.
    memset(xp_->msg, 0xEE, xp_->size);
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), b);
    ASSERT_TRUE(tcp_receive_record(xp_, -1));
    EXPECT_EQ(received(), c);
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

// Calls sent ahead in any fragments, arriving in pieces of any size, are
// served in order: records of every length up to a full buffer, which
// makes the receive move what it has to make room.
TEST_F(TcpPair, PipelinedCallsInAnyFragmentsAndPiecesAreServedInOrder) {
    xprt listen_rec{};
    toy_registration reg(&listen_rec, 1, RPC_TCP);
    open(500);  // a record may hold 1008 bytes
    std::thread conn(tcp_connection, xp_);
    xp_ = nullptr;
    std::mt19937 rng(7);
    std::vector<rpc_bytes> calls;
    rpc_bytes wire;
    for (uint32_t xid = 1; xid <= 300; xid++) {
        uint32_t words = xid % 50 == 0 ? (1008 - 40) / 4 : rng() % 60;
        rpc_words args;
        for (uint32_t i = 0; i < words; i++) args.push_back(rng());
        rpc_bytes call = rpc_msg_args(xid, TOY_PROG, 1, TOY_ECHO, args);
        // Up to four fragments of random sizes.
        uint32_t at = 0, pieces = 1 + rng() % 4;
        for (uint32_t p = 1; p <= pieces; p++) {
            uint32_t n =
                p == pieces ? uint32_t(call.size()) - at : uint32_t(rng() % (call.size() - at + 1));
            rpc_msg_word(wire, n | (p == pieces ? 0x80000000u : 0));
            wire.insert(wire.end(), call.begin() + at, call.begin() + at + n);
            at += n;
        }
        calls.push_back(call);
    }
    std::thread sender([&] {
        for (size_t at = 0; at < wire.size();) {
            size_t n = std::min<size_t>(1 + rng() % 1500, wire.size() - at);
            if (send(client_, wire.data() + at, n, MSG_NOSIGNAL) != ssize_t(n)) return;
            at += n;
        }
    });
    for (const rpc_bytes &call : calls) {
        rpc_bytes reply = rpc_tcp_recv(client_, 3000);
        ASSERT_EQ(reply.size(), 24 + call.size() - 40) << rpc_msg_word_at(call, 0);
        EXPECT_EQ(rpc_msg_word_at(reply, 0), rpc_msg_word_at(call, 0));
        EXPECT_TRUE(std::equal(call.begin() + 40, call.end(), reply.begin() + 24));
    }
    sender.join();
    shutdown(client_, SHUT_WR);
    conn.join();
}

TEST(TcpListen, ABurstOfConnectsIsQueuedAtOnce) {
    // Nobody accepts yet: with a small backlog the connects beyond it would
    // wait for the client's retry a second later, and again after that.
    sock_t listener = tcp_listen_socket("127.0.0.1", 0);
    ASSERT_NE(listener, SOCK_INVALID);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(rpc_sock_port(listener));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<sock_wait> conns;
    for (int i = 0; i < 64; i++) {
        sock_t s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        conns.push_back(sock_wait{s, false});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int connected = 0;
    for (const sock_wait &c : conns) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        connected += getpeername(c.sock, reinterpret_cast<sockaddr *>(&peer), &len) == 0;
        sock_close(c.sock);
    }
    EXPECT_EQ(connected, 64);
    sock_close(listener);
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
    // Over TCP the number is the failing send's own, whatever came before.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    xprt *xp = xprt_create(sv[0], RPC_TCP, 0, 100);
    sock_close(sv[1]);
    errno = EBADF;
    EXPECT_FALSE(rpc_reply(xp, &call, rpc_void_result, nullptr));
    EXPECT_EQ(log.text(),
              "rpc: error cannot transmit reply 9\nrpc: error cannot transmit reply 32\n");
    sock_close(sv[0]);
    xprt_free(xp);
}

TEST(Xprt, SizesBeyondTheByteCountAreRefused) {
    log_capture log(1);
    // 0xFFFFFF00 + 512 would wrap to a 256-byte area.
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0xFFFFFF00u), nullptr);
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(log.text(), "xprt_create: out of memory\nxprt_create: out of memory\n");
}

}  // namespace
