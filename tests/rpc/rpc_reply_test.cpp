// Replies on the wire: record marking of large TCP replies and the log line
// of a reply that cannot be sent.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "rpc/rpc.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"

namespace {

// A result of `n` bytes counting up from 0, mod 251.
struct pattern {
    uint32_t n;
};
uint32_t pattern_result(uint8_t *out, const void *result) {
    uint32_t n = static_cast<const pattern *>(result)->n;
    for (uint32_t i = 0; i < n; i++) out[i] = uint8_t(i % 251);
    return n;
}

bool read_exact(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

TEST(RpcReplyTcp, LargeReplyLeavesInFragmentsOnlyTheLastMarkedLast) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    xprt *xp = xprt_create(sv[0], RPC_TCP, 2049, 100);  // size 612: fragments of 608
    ASSERT_NE(xp, nullptr);
    rpc_call call{};
    xp->xid = 0x1234;
    call.verf_flavor = 0;
    const uint8_t front[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    memcpy(xp->buffer, front, 4);

    // A fragment is at most size - 4 bytes, so a reply filling the whole
    // message area leaves in two.
    pattern p{588};
    ASSERT_TRUE(rpc_reply(xp, &call, pattern_result, &p));
    ASSERT_EQ(xp->count, 612);

    std::vector<uint32_t> lengths;
    std::vector<bool> last;
    std::vector<uint8_t> record;
    for (bool done = false; !done;) {
        uint8_t mark[4];
        ASSERT_TRUE(read_exact(sv[1], mark, 4));
        uint32_t m = rpc_msg_words(mark, 4)[0];
        done = (m & 0x80000000u) != 0;
        lengths.push_back(m & 0x7FFFFFFF);
        last.push_back(done);
        size_t at = record.size();
        record.resize(at + lengths.back());
        ASSERT_TRUE(read_exact(sv[1], record.data() + at, lengths.back()));
    }
    EXPECT_EQ(lengths, (std::vector<uint32_t>{608, 4}));
    EXPECT_EQ(last, (std::vector<bool>{false, true}));
    ASSERT_EQ(record.size(), 612u);
    EXPECT_EQ(rpc_msg_words(record.data(), 24), (std::vector<uint32_t>{0x1234, 1, 0, 0, 0, 0}));
    for (uint32_t i = 0; i < 588; i++) ASSERT_EQ(record[24 + i], uint8_t(i % 251)) << i;
    // The bytes borrowed for the marks are given back.
    EXPECT_EQ(0, memcmp(xp->buffer, front, 4));
    EXPECT_EQ(0, memcmp(xp->msg, record.data(), record.size()));

    // Exactly one largest fragment is sent alone, with the last bit.
    p.n = 584;
    ASSERT_TRUE(rpc_reply(xp, &call, pattern_result, &p));
    uint8_t mark[4];
    ASSERT_TRUE(read_exact(sv[1], mark, 4));
    EXPECT_EQ(rpc_msg_words(mark, 4)[0], 0x80000000u | 608);

    close(sv[0]);
    close(sv[1]);
    xprt_free(xp);
}

TEST(RpcReplyUdp, UnsendableSuccessReplyIsLogged) {
    log_capture log(1);

    rpc_loop loop;
    ASSERT_TRUE(rpc_loop_open(&loop));
    rpc_call call{};
    sock_close(loop.xp->sock);  // every sendto now fails with EBADF
    EXPECT_FALSE(rpc_reply(loop.xp, &call, rpc_void_result, nullptr));
    rpc_error_reply(loop.xp, &call, RPC_GARBAGE_ARGS);  // not reported
    loop.xp->sock = SOCK_INVALID;
    EXPECT_EQ(log.text(), "rpc: error cannot transmit reply 9\n");
    xprt_free(loop.xp);
    sock_close(loop.client);
}

}  // namespace
