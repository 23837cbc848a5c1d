// Call decoding, authentication, the registry and dispatch: every malformed
// header gets exactly its answer (or silence), seen as the bytes a client
// receives.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "support/alloc_count.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"


namespace {

using words = rpc_words;
using bytes = rpc_bytes;

// The toy program, versions 2 and 3, served through a UDP rig.
class RpcCall : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(rig.ok());
        ASSERT_TRUE(v2.ok && v3.ok);
        toy_reset();
    }
    words serve(const bytes &msg) { return rpc_msg_words(rig.serve(msg)); }
    rpc_rig rig;
    toy_registration v2{rig.xp, 2, RPC_UDP}, v3{rig.xp, 3, RPC_UDP};
};

bytes cut(bytes m, size_t len) {
    m.resize(len);
    return m;
}
bytes with_byte(bytes m, size_t at, uint8_t v) {
    m[at] = v;
    return m;
}
bytes unix_call(uint32_t xid, const bytes &cred) {
    return rpc_msg_call(xid, TOY_PROG, 3, 0, 1, cred);
}

TEST_F(RpcCall, EveryHeaderGetsItsAnswerOrSilence) {
    const bytes verf5 = {'a', 'b', 'c', 'd', 'e'};
    bytes cred400 = rpc_msg_auth_unix(1, "host", 10, 20, {});
    cred400.resize(400);  // trailing bytes after the fields are allowed
    bytes verf400(400, 0x11);
    words verf400_reply = {12, 1, 0, 1, 400};
    verf400_reply.insert(verf400_reply.end(), 100, 0x11111111u);
    verf400_reply.push_back(0);
    struct row {
        const char *what;
        bytes msg;
        words reply;  // empty: no answer at all
        int runs;     // 1 when the handler must have run
    } rows[] = {
        {"null call", rpc_msg_call(0x51, TOY_PROG, 3, 0), {0x51, 1, 0, 0, 0, 0}, 1},
        {"empty", {}, {}, 0},
        {"short header", cut(rpc_msg_call(7, TOY_PROG, 3, 0), 31), {}, 0},
        {"a REPLY", with_byte(rpc_msg_call(7, TOY_PROG, 3, 0), 7, 1), {}, 0},
        {"rpc version 3", with_byte(rpc_msg_call(9, TOY_PROG, 3, 0), 11, 3), {9, 1, 1, 0, 2, 2}, 0},
        {"unknown program", rpc_msg_call(1, 100005, 3, 0), {1, 1, 0, 0, 0, 1}, 0},
        {"version 4", rpc_msg_call(2, TOY_PROG, 4, 0), {2, 1, 0, 0, 0, 2, 2, 3}, 0},
        {"version 1", rpc_msg_call(3, TOY_PROG, 1, 0), {3, 1, 0, 0, 0, 2, 2, 3}, 0},
        {"unknown procedure", rpc_msg_call(4, TOY_PROG, 2, 99), {4, 1, 0, 0, 0, 3}, 0},
        {"AUTH_SHORT", rpc_msg_call(5, TOY_PROG, 3, 0, 2, {0, 0, 0, 1}), {5, 1, 1, 1, 2}, 0},
        {"flavour 6", rpc_msg_call(6, TOY_PROG, 3, 0, 6), {6, 1, 1, 1, 2}, 0},
        {"verifier echoed",
         rpc_msg_call(8, TOY_PROG, 3, 0, 0, {}, 7, verf5),
         {8, 1, 0, 7, 5, 0x61626364, 0x65000000, 0},
         1},
        {"verifier echoed in an error",
         rpc_msg_call(8, TOY_PROG, 3, 5, 0, {}, 7, verf5),
         {8, 1, 0, 7, 5, 0x61626364, 0x65000000, 3},
         0},
        {"credential of 400", unix_call(10, cred400), {10, 1, 0, 0, 0, 0}, 1},
        {"credential of 401", unix_call(11, cut(cred400, 401)), {11, 1, 1, 1, 1}, 0},
        {"verifier of 400", rpc_msg_call(12, TOY_PROG, 3, 0, 0, {}, 1, verf400), verf400_reply, 1},
        {"verifier of 401",
         rpc_msg_call(13, TOY_PROG, 3, 0, 0, {}, 1, bytes(401, 1)),
         {13, 1, 1, 1, 3},
         0},
        {"credential past the end",
         cut(unix_call(50, rpc_msg_auth_unix(1, "h", 0, 0, {})), 40),
         {},
         0},
        {"verifier words missing", cut(rpc_msg_call(51, TOY_PROG, 3, 0), 36), {}, 0},
        {"verifier body cut",
         cut(rpc_msg_call(52, TOY_PROG, 3, 0, 0, {}, 1, bytes(40, 1)), 40 + 40 - 4),
         {},
         0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        // Whatever lies behind the received bytes (an earlier, longer
        // message) must never be read.
        memset(rig.xp->msg, 0xFF, rig.xp->size);
        toy_runs = 0;
        EXPECT_EQ(serve(r.msg), r.reply);
        EXPECT_EQ(toy_runs, r.runs);
    }
}

TEST_F(RpcCall, AuthUnixIdentityAndItsLimits) {
    words groups32(32);
    for (uint32_t i = 0; i < 32; i++) groups32[i] = 100 + i;
    words groups33 = groups32;
    groups33.push_back(200);
    const std::string name255(255, 'm'), name256(256, 'm');
    const words ok = {20, 1, 0, 0, 0, 0}, bad_cred = {20, 1, 1, 1, 1};
    auto full = rpc_msg_auth_unix(1, "client", 5, 6, {1, 2, 3});
    struct row {
        const char *what;
        bytes cred;
        const words &reply;
    } rows[] = {
        {"32 groups", rpc_msg_auth_unix(77, "client.example", 1000, 50, groups32), ok},
        {"255-byte name", rpc_msg_auth_unix(1, name255.c_str(), 0, 0, {7}), ok},
        // 33 groups fit in 400 bytes with a short name, and are still too many.
        {"33 groups", rpc_msg_auth_unix(1, "h", 0, 0, groups33), bad_cred},
        {"256-byte name", rpc_msg_auth_unix(1, name256.c_str(), 0, 0, {}), bad_cred},
        // Both at their limits need 404 bytes, more than a credential may hold.
        {"both limits", rpc_msg_auth_unix(1, name255.c_str(), 0, 0, groups32), bad_cred},
        // Bodies cut inside the groups, uid/gid/count, the name, the length.
        {"cut in groups", cut(full, full.size() - 4), bad_cred},
        {"cut at 28", cut(full, 28), bad_cred},
        {"cut at 20", cut(full, 20), bad_cred},
        {"cut at 12", cut(full, 12), bad_cred},
        {"cut at 4", cut(full, 4), bad_cred},
        {"empty body", {}, bad_cred},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(serve(unix_call(20, r.cred)), r.reply);
    }
    EXPECT_EQ(toy_runs, 2);

    serve(unix_call(21, rows[0].cred));
    EXPECT_EQ(toy_seen.unix_cred.stamp, 77u);
    EXPECT_STREQ(toy_seen.unix_cred.machine, "client.example");
    EXPECT_EQ(toy_seen.unix_cred.uid, 1000u);
    EXPECT_EQ(toy_seen.unix_cred.gid, 50u);
    EXPECT_EQ(toy_seen.unix_cred.ngroups, 32u);
    EXPECT_EQ(toy_seen.unix_cred.groups[31], 131u);
    serve(unix_call(22, rows[1].cred));
    EXPECT_EQ(std::string(toy_seen.unix_cred.machine), name255);
    // AUTH_NULL gets the anonymous identity, not the previous caller's.
    serve(rpc_msg_call(23, TOY_PROG, 3, 0));
    EXPECT_EQ(toy_seen.unix_cred.uid, RPC_ANON_ID);
    EXPECT_EQ(toy_seen.unix_cred.gid, RPC_ANON_ID);
    EXPECT_EQ(toy_seen.unix_cred.ngroups, 0u);
    EXPECT_STREQ(toy_seen.unix_cred.machine, "");
}

TEST_F(RpcCall, ArgumentsFollowTheVerifierAndAreBounded) {
    auto m = rpc_msg_call(60, TOY_PROG, 3, TOY_CURSOR, 1, rpc_msg_auth_unix(1, "abc", 0, 0, {9}), 0,
                          {1, 2, 3});
    rpc_msg_word(m, 0xCAFE);
    rpc_msg_word(m, 5);
    rpc_msg_opaque(m, "hello", 5);
    EXPECT_EQ(serve(m), (words{60, 1, 0, 0, 3, 0x01020300, 0, 4}));
    EXPECT_EQ(toy_seen.arg_len, 16u);
    EXPECT_EQ(serve(cut(m, m.size() - 4)), (words{60, 1, 0, 0, 3, 0x01020300, 4}));
}

TEST_F(RpcCall, MangledMessagesNeverCrash) {
    // Every truncation and random word damage of a full AUTH_UNIX call with
    // arguments: the sanitizers catch any read outside the received bytes.
    auto base = rpc_msg_call(70, TOY_PROG, 3, 1, 1, rpc_msg_auth_unix(1, "node", 1, 1, {1, 2}), 1,
                             {9, 9, 9, 9});
    rpc_msg_word(base, 1);
    rpc_msg_word(base, 3);
    rpc_msg_opaque(base, "abc", 3);
    std::mt19937 rng(1234);
    const uint32_t nasty[] = {0, 1, 2, 3, 255, 256, 400, 401, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFC};
    for (size_t i = 0; i < 2000 + base.size() + 1; i++) {
        auto m = base;
        if (i > base.size()) {
            for (int k = 0; k < 3; k++) {
                size_t w = rng() % (m.size() / 4);
                uint32_t v = nasty[rng() % (sizeof nasty / sizeof nasty[0])];
                for (int b = 0; b < 4; b++) m[w * 4 + b] = uint8_t(v >> (24 - 8 * b));
            }
            m.resize(rng() % (m.size() + 1));
        } else {
            m.resize(i);
        }
        rpc_call call{};
        memcpy(rig.xp->msg, m.data(), m.size());
        rig.xp->count = int32_t(m.size());
        if (rpc_decode_call(rig.xp, &call)) {
            ASSERT_LE(
                uint64_t(reinterpret_cast<const uint8_t *>(call.args) - rig.xp->msg) + call.arg_len,
                m.size());
            rpc_dispatch(rig.xp, &call);
        }
        rpc_recv_datagram(rig.client, 0);  // drained so the queue never fills
    }
}

// The registry: one entry per (program, version) serves both protocols, each
// protocol gets its portmapper mapping, and unregistering undoes both.
std::vector<std::string> pmap_calls;
bool pmap_answer = true;
bool fake_pmap(bool set, uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port) {
    pmap_calls.push_back(std::string(set ? "SET " : "UNSET ") + std::to_string(prog) + " " +
                         std::to_string(vers) + " " + std::to_string(protocol) + " " +
                         std::to_string(port));
    return pmap_answer;
}
void other_program(xprt *xp, rpc_call *call) {
    rpc_error_reply(xp, call, 5);  // SYSTEM_ERR, which nothing else answers
}

TEST(RpcRegistry, EntriesServeBothProtocolsAndCarryTheirPortmapperMappings) {
    rpc_rig rig;
    rig.xp->port = 2049;
    rpc_pmap_call = fake_pmap;
    const std::string P = std::to_string(TOY_PROG);
    auto null_call = [&](uint32_t vers) {
        return rpc_msg_words(rig.serve(rpc_msg_call(1, TOY_PROG, vers, 0)));
    };
    EXPECT_TRUE(rpc_register(rig.xp, TOY_PROG, 3, toy_program, RPC_UDP));
    EXPECT_TRUE(rpc_register(rig.xp, TOY_PROG, 3, toy_program, RPC_TCP));
    EXPECT_FALSE(rpc_register(rig.xp, TOY_PROG, 3, other_program, RPC_UDP));
    EXPECT_TRUE(rpc_register(rig.xp, TOY_PROG, 1, other_program, RPC_UDP));
    EXPECT_EQ(pmap_calls,
              (std::vector<std::string>{"SET " + P + " 3 17 2049", "SET " + P + " 3 6 2049",
                                        "SET " + P + " 1 17 2049"}));
    EXPECT_EQ(null_call(3), (words{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(null_call(2), (words{1, 1, 0, 0, 0, 2, 1, 3}));
    pmap_answer = false;
    EXPECT_FALSE(rpc_register(rig.xp, TOY_PROG, 4, toy_program, RPC_UDP))
        << "a portmapper refusal fails the registration";
    pmap_answer = true;
    rpc_unregister(TOY_PROG, 4, RPC_UDP);

    pmap_calls.clear();
    rpc_unregister(TOY_PROG, 3, RPC_UDP);
    rpc_unregister(TOY_PROG, 3, RPC_TCP);  // entry already gone: only the UNSET
    EXPECT_EQ(pmap_calls,
              (std::vector<std::string>{"UNSET " + P + " 3 17 0", "UNSET " + P + " 3 6 0"}));
    EXPECT_EQ(null_call(3), (words{1, 1, 0, 0, 0, 2, 1, 1}));
    rpc_unregister(TOY_PROG, 1, RPC_UDP);
    EXPECT_EQ(null_call(1), (words{1, 1, 0, 0, 0, 1}));
    // A later start registers the pair again, even with another handler.
    ASSERT_TRUE(rpc_register(rig.xp, TOY_PROG, 3, other_program, RPC_UDP));
    EXPECT_EQ(null_call(3), (words{1, 1, 0, 0, 0, 5}));
    rpc_unregister(TOY_PROG, 3, RPC_UDP);
    rpc_pmap_call = nullptr;
}

}  // namespace

TEST_F(RpcCall, DecodeDispatchAndReplyAllocateNothing) {
    // An AUTH_UNIX call with arguments, decoded, dispatched and answered in
    // place, again and again.
    auto m = rpc_msg_call(80, TOY_PROG, 3, 1, 1, rpc_msg_auth_unix(1, "abc", 5, 6, {7, 8}), 0, {});
    rpc_msg_word(m, 1);
    rpc_msg_word(m, 2);
    rpc_msg_opaque(m, "xy", 2);
    rpc_call call{};
    uint64_t before = alloc_count();
    ::operator delete(::operator new(16));  // the counter does see allocations
    ASSERT_EQ(alloc_count(), before + 1);
    before++;
    for (int i = 0; i < 100; i++) {
        memcpy(rig.xp->msg, m.data(), m.size());
        rig.xp->count = int32_t(m.size());
        ASSERT_TRUE(rpc_decode_call(rig.xp, &call));
        rpc_dispatch(rig.xp, &call);
    }
    EXPECT_EQ(alloc_count() - before, 0u);
    EXPECT_EQ(toy_runs, 100);
    for (int i = 0; i < 100; i++) rpc_recv_datagram(rig.client, 0);
}
