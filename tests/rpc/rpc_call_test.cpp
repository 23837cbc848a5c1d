// Call decoding, authentication and dispatch: every malformed header gets
// exactly its answer (or silence), seen as the bytes a client receives.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

// Every allocation of the process is counted, so that the request path can
// be shown to make none. All the plain forms are replaced together, so that
// none of them pairs with a library (or sanitizer) counterpart.
std::atomic<uint64_t> allocations{0};
// Kept out of line: inlined, the compiler would pair new with free and warn.
__attribute__((noinline)) void *counted_alloc(size_t n) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return malloc(n ? n : 1);
}
__attribute__((noinline)) void counted_free(void *p) noexcept {
    free(p);
}
void *operator new(size_t n) {
    if (void *p = counted_alloc(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) {
    return operator new(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
    return counted_alloc(n);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
    return counted_alloc(n);
}
void operator delete(void *p) noexcept {
    counted_free(p);
}
void operator delete[](void *p) noexcept {
    counted_free(p);
}
void operator delete(void *p, size_t) noexcept {
    counted_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    counted_free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    counted_free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    counted_free(p);
}

namespace {

using words = std::vector<uint32_t>;

// What the test handler saw of the last call it ran.
rpc_call seen;
int handled;

// Program 100003 versions 2 and 3: NULL answers void; procedure 1 reads a
// word and a string of at most 16 bytes and echoes both; others are unknown.
uint32_t echo_result(uint8_t *out, const void *result) {
    const rpc_call *c = static_cast<const rpc_call *>(result);
    return xdr_put_u32(out, c->pos);
}
void test_handler(xprt *xp, rpc_call *call) {
    handled++;
    seen = *call;
    switch (call->proc) {
        case 0:
            rpc_reply(xp, call, rpc_void_result, nullptr);
            return;
        case 1: {
            uint32_t v;
            char s[17];
            if (!xdr_get_u32(call, &v) || !xdr_get_string(call, s, 16)) {
                rpc_error_reply(xp, call, RPC_GARBAGE_ARGS);
                return;
            }
            rpc_reply(xp, call, echo_result, call);
            return;
        }
        default:
            rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
    }
}

class RpcCall : public ::testing::Test {
   protected:
    rpc_loop loop;
    void SetUp() override {
        ASSERT_TRUE(rpc_loop_open(&loop));
        rpc_pmap_call = nullptr;  // no portmapper here
        ASSERT_TRUE(rpc_register(loop.xp, 100003, 2, test_handler, RPC_UDP));
        ASSERT_TRUE(rpc_register(loop.xp, 100003, 3, test_handler, RPC_UDP));
        handled = 0;
    }
    void TearDown() override {
        rpc_unregister(100003, 2, RPC_UDP);
        rpc_unregister(100003, 3, RPC_UDP);
        rpc_loop_close(&loop);
    }
    words serve(const std::vector<uint8_t> &msg, rpc_call *call = nullptr) {
        return rpc_msg_words(rpc_loop_serve(&loop, msg, call));
    }
};

const words SUCCESS_NULL = {0x51, 1, 0, 0, 0, 0};

TEST_F(RpcCall, NullCallIsAnsweredWithTheAcceptedHeader) {
    EXPECT_EQ(serve(rpc_msg_call(0x51, 100003, 3, 0)), SUCCESS_NULL);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(seen.arg_len, 0u);
}

TEST_F(RpcCall, SilenceForShortMessagesAndNonCalls) {
    auto m = rpc_msg_call(7, 100003, 3, 0);
    EXPECT_TRUE(serve(std::vector<uint8_t>(m.begin(), m.begin() + 31)).empty());
    EXPECT_TRUE(serve({}).empty());
    m[7] = 1;  // message type REPLY
    EXPECT_TRUE(serve(m).empty());
    EXPECT_EQ(handled, 0);
}

TEST_F(RpcCall, RpcVersionOtherThanTwoIsDeniedWithMismatch) {
    auto m = rpc_msg_call(9, 100003, 3, 0);
    m[11] = 3;
    EXPECT_EQ(serve(m), (words{9, 1, 1, 0, 2, 2}));
}

TEST_F(RpcCall, ProgramVersionAndProcedureErrors) {
    EXPECT_EQ(serve(rpc_msg_call(1, 100005, 3, 0)), (words{1, 1, 0, 0, 0, 1}));
    EXPECT_EQ(serve(rpc_msg_call(2, 100003, 4, 0)), (words{2, 1, 0, 0, 0, 2, 2, 3}));
    EXPECT_EQ(serve(rpc_msg_call(3, 100003, 1, 0)), (words{3, 1, 0, 0, 0, 2, 2, 3}));
    EXPECT_EQ(serve(rpc_msg_call(4, 100003, 2, 99)), (words{4, 1, 0, 0, 0, 3}));
}

TEST_F(RpcCall, UnsupportedFlavoursAreRejected) {
    EXPECT_EQ(serve(rpc_msg_call(5, 100003, 3, 0, 2, {0, 0, 0, 1})), (words{5, 1, 1, 1, 2}));
    EXPECT_EQ(serve(rpc_msg_call(6, 100003, 3, 0, 6)), (words{6, 1, 1, 1, 2}));
    EXPECT_EQ(handled, 0);
}

TEST_F(RpcCall, AcceptedRepliesEchoTheVerifier) {
    std::vector<uint8_t> verf = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(serve(rpc_msg_call(8, 100003, 3, 0, 0, {}, 7, verf)),
              (words{8, 1, 0, 7, 5, 0x61626364, 0x65000000, 0}));
    EXPECT_EQ(serve(rpc_msg_call(8, 100003, 3, 5, 0, {}, 7, verf)),
              (words{8, 1, 0, 7, 5, 0x61626364, 0x65000000, 3}));
}

TEST_F(RpcCall, CredentialAndVerifierLengthLimits) {
    auto body = rpc_msg_auth_unix(1, "host", 10, 20, {});
    body.resize(400);  // trailing bytes after the fields are allowed
    EXPECT_EQ(serve(rpc_msg_call(10, 100003, 3, 0, 1, body)), (words{10, 1, 0, 0, 0, 0}));
    body.resize(401);
    EXPECT_EQ(serve(rpc_msg_call(11, 100003, 3, 0, 1, body)), (words{11, 1, 1, 1, 1}));

    std::vector<uint8_t> verf(400, 0x11);
    auto reply = serve(rpc_msg_call(12, 100003, 3, 0, 0, {}, 1, verf));
    ASSERT_EQ(reply.size(), 6u + 100u);
    EXPECT_EQ(reply[4], 400u);
    EXPECT_EQ(reply[5], 0x11111111u);
    verf.resize(401);
    EXPECT_EQ(serve(rpc_msg_call(13, 100003, 3, 0, 0, {}, 1, verf)), (words{13, 1, 1, 1, 3}));
    EXPECT_EQ(handled, 2);
}

TEST_F(RpcCall, AuthUnixIdentityAndItsLimits) {
    std::vector<uint32_t> groups(32);
    for (uint32_t i = 0; i < 32; i++) groups[i] = 100 + i;
    EXPECT_EQ(serve(rpc_msg_call(20, 100003, 3, 0, 1,
                                 rpc_msg_auth_unix(77, "client.example", 1000, 50, groups))),
              (words{20, 1, 0, 0, 0, 0}));
    EXPECT_EQ(seen.unix_cred.stamp, 77u);
    EXPECT_STREQ(seen.unix_cred.machine, "client.example");
    EXPECT_EQ(seen.unix_cred.uid, 1000u);
    EXPECT_EQ(seen.unix_cred.gid, 50u);
    EXPECT_EQ(seen.unix_cred.ngroups, 32u);
    EXPECT_EQ(seen.unix_cred.groups[31], 131u);

    std::string name(255, 'm');
    EXPECT_EQ(
        serve(rpc_msg_call(21, 100003, 3, 0, 1, rpc_msg_auth_unix(1, name.c_str(), 0, 0, {7}))),
        (words{21, 1, 0, 0, 0, 0}));
    EXPECT_EQ(std::string(seen.unix_cred.machine), name);
    EXPECT_EQ(seen.unix_cred.ngroups, 1u);

    // 33 groups fit in 400 bytes with a short name, and are still too many.
    groups.push_back(200);
    EXPECT_EQ(serve(rpc_msg_call(22, 100003, 3, 0, 1, rpc_msg_auth_unix(1, "h", 0, 0, groups))),
              (words{22, 1, 1, 1, 1}));
    std::string longer(256, 'm');
    EXPECT_EQ(
        serve(rpc_msg_call(23, 100003, 3, 0, 1, rpc_msg_auth_unix(1, longer.c_str(), 0, 0, {}))),
        (words{23, 1, 1, 1, 1}));
    // Both at their limits need 404 bytes, more than a credential may hold.
    groups.pop_back();
    EXPECT_EQ(
        serve(rpc_msg_call(24, 100003, 3, 0, 1, rpc_msg_auth_unix(1, name.c_str(), 0, 0, groups))),
        (words{24, 1, 1, 1, 1}));
    EXPECT_EQ(handled, 2);
}

TEST_F(RpcCall, AuthUnixBodyShorterThanItsFields) {
    auto body = rpc_msg_auth_unix(1, "client", 5, 6, {1, 2, 3});
    // Cut inside the groups, inside uid/gid/count, inside the name, before
    // the name length: each is a bad credential, never a stale read.
    for (size_t len : {body.size() - 4, size_t(28), size_t(20), size_t(12), size_t(4), size_t(0)}) {
        std::vector<uint8_t> cut(body.begin(), body.begin() + len);
        EXPECT_EQ(serve(rpc_msg_call(30, 100003, 3, 0, 1, cut)), (words{30, 1, 1, 1, 1}))
            << "credential length " << len;
    }
    EXPECT_EQ(handled, 0);
}

TEST_F(RpcCall, AuthNullGetsTheAnonymousIdentityNotThePreviousCaller) {
    rpc_call call{};
    serve(rpc_msg_call(40, 100003, 3, 0, 1, rpc_msg_auth_unix(1, "alice", 1000, 1000, {4, 24})),
          &call);
    EXPECT_EQ(seen.unix_cred.uid, 1000u);
    serve(rpc_msg_call(41, 100003, 3, 0), &call);
    EXPECT_EQ(seen.unix_cred.uid, RPC_ANON_ID);
    EXPECT_EQ(seen.unix_cred.gid, RPC_ANON_ID);
    EXPECT_EQ(seen.unix_cred.ngroups, 0u);
    EXPECT_STREQ(seen.unix_cred.machine, "");
}

TEST_F(RpcCall, HeaderReachingPastTheReceivedBytesIsDropped) {
    // Declared credential body longer than the message.
    auto m = rpc_msg_call(50, 100003, 3, 0, 1, rpc_msg_auth_unix(1, "h", 0, 0, {}));
    m.resize(40);
    EXPECT_TRUE(serve(m).empty());
    // Verifier flavour and length words missing; what lies behind the
    // received bytes (an earlier, longer message) must not be read.
    memset(loop.xp->msg, 0xFF, loop.xp->size);
    m = rpc_msg_call(51, 100003, 3, 0);
    m.resize(36);
    EXPECT_TRUE(serve(m).empty());
    // Verifier body cut short.
    m = rpc_msg_call(52, 100003, 3, 0, 0, {}, 1, std::vector<uint8_t>(40, 1));
    m.resize(m.size() - 4);
    EXPECT_TRUE(serve(m).empty());
    EXPECT_EQ(handled, 0);
}

TEST_F(RpcCall, ArgumentsFollowTheVerifierAndAreBounded) {
    auto m =
        rpc_msg_call(60, 100003, 3, 1, 1, rpc_msg_auth_unix(1, "abc", 0, 0, {9}), 0, {1, 2, 3});
    rpc_msg_word(m, 0xCAFE);
    rpc_msg_word(m, 5);
    rpc_msg_opaque(m, "hello", 5);
    EXPECT_EQ(serve(m), (words{60, 1, 0, 0, 3, 0x01020300, 0, 4}));
    EXPECT_EQ(seen.arg_len, 16u);
    m.resize(m.size() - 4);  // string cut
    EXPECT_EQ(serve(m), (words{60, 1, 0, 0, 3, 0x01020300, 4}));
}

TEST_F(RpcCall, DecodeDispatchAndReplyAllocateNothing) {
    // An AUTH_UNIX call with arguments, decoded, dispatched and answered in
    // place, again and again.
    auto m = rpc_msg_call(80, 100003, 3, 1, 1, rpc_msg_auth_unix(1, "abc", 5, 6, {7, 8}), 0, {});
    rpc_msg_word(m, 1);
    rpc_msg_word(m, 2);
    rpc_msg_opaque(m, "xy", 2);
    rpc_call call{};
    uint64_t before = allocations.load();
    ::operator delete(::operator new(16));  // the counter does see allocations
    ASSERT_EQ(allocations.load(), before + 1);
    before++;
    for (int i = 0; i < 100; i++) {
        memcpy(loop.xp->msg, m.data(), m.size());
        loop.xp->count = int32_t(m.size());
        ASSERT_TRUE(rpc_decode_call(loop.xp, &call));
        rpc_dispatch(loop.xp, &call);
    }
    uint64_t used = allocations.load() - before;
    EXPECT_EQ(handled, 100);
    EXPECT_EQ(used, 0u);
    for (int i = 0; i < 100; i++) rpc_recv_datagram(loop.client, 0);
}

TEST_F(RpcCall, MangledMessagesNeverCrash) {
    // Every truncation and random word damage of a full AUTH_UNIX call with
    // arguments: the sanitizers catch any read outside the received bytes.
    auto base = rpc_msg_call(70, 100003, 3, 1, 1, rpc_msg_auth_unix(1, "node", 1, 1, {1, 2}), 1,
                             {9, 9, 9, 9});
    rpc_msg_word(base, 1);
    rpc_msg_word(base, 3);
    rpc_msg_opaque(base, "abc", 3);
    for (size_t len = 0; len <= base.size(); len++)
        rpc_loop_serve(&loop, std::vector<uint8_t>(base.begin(), base.begin() + len), nullptr, 0);
    std::mt19937 rng(1234);
    const uint32_t nasty[] = {0, 1, 2, 3, 255, 256, 400, 401, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFC};
    for (int i = 0; i < 2000; i++) {
        auto m = base;
        for (int k = 0; k < 3; k++) {
            size_t w = rng() % (m.size() / 4);
            uint32_t v = nasty[rng() % (sizeof nasty / sizeof nasty[0])];
            for (int b = 0; b < 4; b++) m[w * 4 + b] = uint8_t(v >> (24 - 8 * b));
        }
        m.resize(rng() % (m.size() + 1));
        // Replies are drained so the loopback queue never fills.
        rpc_call call{};
        uint32_t n = uint32_t(m.size());
        memcpy(loop.xp->msg, m.data(), n);
        loop.xp->count = int32_t(n);
        if (rpc_decode_call(loop.xp, &call)) {
            ASSERT_LE(uint64_t(reinterpret_cast<const uint8_t *>(call.args) - loop.xp->msg) +
                          call.arg_len,
                      n);
            rpc_dispatch(loop.xp, &call);
        }
        rpc_recv_datagram(loop.client, 0);
    }
}

}  // namespace
