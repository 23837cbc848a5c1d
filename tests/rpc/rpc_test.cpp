// The RPC runtime as a client sees it: every header gets exactly its answer
// (or silence), AUTH_UNIX limits, mangled messages, the registry, the replay
// slot, the UDP workers and replies that cannot leave; then the server's own
// client calls. Threads sharing a replay slot are the threads test's (end to
// end, under ThreadSanitizer).
#include "rpc/rpc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/config.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;
using words = rpc_words;
using bytes = rpc_bytes;

// The toy program, versions 2 and 3, served through a UDP rig.
class RpcCall : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(rig.ok() && v2.ok && v3.ok);
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
// A full AUTH_UNIX call of TOY_ECHO with a verifier and arguments.
bytes full_call(uint32_t xid) {
    bytes m =
        rpc_msg_call(xid, TOY_PROG, 3, TOY_ECHO, 1, rpc_msg_auth_unix(1, "node", 1, 1, {1, 2}), 7,
                     {'a', 'b', 'c', 'd', 'e'});
    for (uint32_t w : {0xCAFEu, 2u, 3u}) rpc_msg_word(m, w);
    return m;
}

bytes call(uint32_t xid, uint32_t vers = 3, uint32_t proc = 0, uint32_t verf_flavor = 0,
           const bytes &verf = {}) {
    return rpc_msg_call(xid, TOY_PROG, vers, proc, 0, {}, verf_flavor, verf);
}

TEST_F(RpcCall, EveryHeaderGetsItsAnswerOrSilence) {
    const bytes verf5 = {'a', 'b', 'c', 'd', 'e'};
    bytes cred400 = rpc_msg_auth_unix(1, "host", 10, 20, {});
    cred400.resize(400);  // trailing bytes after the fields are allowed
    struct row {
        bytes msg;
        words reply;  // empty: no answer at all
        int runs;     // 1 when the handler must have run
    } rows[] = {
        {call(1), {1, 1, 0, 0, 0, 0}, 1},
        {{}, {}, 0},
        {cut(call(2), 31), {}, 0},                           // short header
        {with_byte(call(3), 7, 1), {}, 0},                   // a REPLY
        {with_byte(call(4), 11, 3), {4, 1, 1, 0, 2, 2}, 0},  // RPC version 3
        {call(6, 4), {6, 1, 0, 0, 0, 2, 2, 3}, 0},
        {call(7, 2, 99), {7, 1, 0, 0, 0, 3}, 0},
        {rpc_msg_call(8, TOY_PROG, 3, 0, 2, {0, 0, 0, 1}), {8, 1, 1, 1, 2}, 0},  // AUTH_SHORT
        {rpc_msg_call(9, TOY_PROG, 3, 0, 6), {9, 1, 1, 1, 2}, 0},
        // The arguments start after the verifier, which every reply echoes.
        {full_call(10), {10, 1, 0, 7, 5, 0x61626364, 0x65000000, 0, 0xCAFE, 2, 3}, 1},
        {call(11, 3, 5, 7, verf5), {11, 1, 0, 7, 5, 0x61626364, 0x65000000, 3}, 0},
        {unix_call(12, cred400), {12, 1, 0, 0, 0, 0}, 1},
        {unix_call(13, cut(cred400, 401)), {13, 1, 1, 1, 1}, 0},
        {call(14, 3, 0, 1, bytes(401, 1)), {14, 1, 1, 1, 3}, 0},
        // Credential or verifier reaching past the end.
        {cut(unix_call(15, rpc_msg_auth_unix(1, "h", 0, 0, {})), 40), {}, 0},
        {cut(call(16), 36), {}, 0},
        {cut(call(17, 3, 0, 1, bytes(40, 1)), 76), {}, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(&r - rows);
        // Whatever lies behind the received bytes (an earlier, longer
        // message) must never be read.
        memset(rig.xp->msg, 0xFF, rig.xp->size);
        toy_runs = 0;
        EXPECT_EQ(serve(r.msg), r.reply);
        EXPECT_EQ(toy_runs, r.runs);
    }
}

TEST_F(RpcCall, AuthUnixIdentityAndItsLimits) {
    words groups32(32, 100), groups33(33);
    groups32[31] = 131;
    const std::string name255(255, 'm'), name256(256, 'm');
    const bytes full = rpc_msg_auth_unix(1, "client", 5, 6, {1, 2, 3});
    const bytes ok[] = {rpc_msg_auth_unix(77, "client.example", 1000, 50, groups32),
                        rpc_msg_auth_unix(1, name255.c_str(), 0, 0, {7})};
    // 33 groups fit in 400 bytes with a short name and are still too many;
    // both at their limits need 404 bytes; bodies cut in every field.
    std::vector<bytes> bad = {rpc_msg_auth_unix(1, "h", 0, 0, groups33),
                              rpc_msg_auth_unix(1, name256.c_str(), 0, 0, {}),
                              rpc_msg_auth_unix(1, name255.c_str(), 0, 0, groups32)};
    for (size_t n : {full.size() - 4, size_t(28), size_t(20), size_t(12), size_t(4), size_t(0)})
        bad.push_back(cut(full, n));
    for (const bytes &cred : ok) EXPECT_EQ(serve(unix_call(20, cred)), (words{20, 1, 0, 0, 0, 0}));
    for (const bytes &cred : bad) EXPECT_EQ(serve(unix_call(20, cred)), (words{20, 1, 1, 1, 1}));
    EXPECT_EQ(std::string(toy_seen.unix_cred.machine), name255);
    serve(unix_call(21, ok[0]));
    const rpc_cred &c = toy_seen.unix_cred;
    EXPECT_EQ(std::tuple(c.stamp, std::string(c.machine), c.uid, c.gid, c.ngroups, c.groups[31]),
              std::tuple(77u, std::string("client.example"), 1000u, 50u, 32u, 131u));
    // AUTH_NULL gets the anonymous identity, not the previous caller's.
    serve(call(23));
    EXPECT_EQ(std::tuple(c.uid, c.gid, c.ngroups, std::string(c.machine)),
              std::tuple(RPC_ANON_ID, RPC_ANON_ID, 0u, std::string()));
}

// Dispatches a decoded call whose arguments lie within the received bytes.
void checked_dispatch(xprt *xp, rpc_call *call) {
    const uint8_t *args = reinterpret_cast<const uint8_t *>(call->args);
    EXPECT_LE(uint64_t(args - xp->msg) + call->arg_len, uint64_t(xp->count));
    rpc_dispatch(xp, call);
}

TEST_F(RpcCall, MangledMessagesNeverCrash) {
    // Every truncation and random word damage of a full AUTH_UNIX call with
    // arguments: the sanitizers catch any read outside the received bytes.
    const bytes base = full_call(70);
    std::mt19937 rng(1234);
    const uint32_t nasty[] = {0, 1, 2, 3, 255, 256, 400, 401, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFC};
    for (size_t i = 0; i < 2000 + base.size() + 1; i++) {
        bytes m = base;
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
        // The reply is drained at once so that the queue never fills.
        rig.serve(m, checked_dispatch, nullptr, 0);
    }
}

void other_program(xprt *, rpc_call *) {}

TEST(RpcRegistry, APairHasOneHandlerForBothProtocolsAndARefusedMappingFailsIt) {
    rpc_rig rig;
    rpc_pmap_call = [](bool, uint32_t, uint32_t, uint32_t, uint16_t) { return true; };
    EXPECT_TRUE(rpc_register(rig.xp, TOY_PROG, 3, toy_program, RPC_UDP));
    EXPECT_TRUE(rpc_register(rig.xp, TOY_PROG, 3, toy_program, RPC_TCP));
    EXPECT_FALSE(rpc_register(rig.xp, TOY_PROG, 3, other_program, RPC_UDP));
    rpc_pmap_call = [](bool, uint32_t, uint32_t, uint32_t, uint16_t) { return false; };
    EXPECT_FALSE(rpc_register(rig.xp, TOY_PROG, 4, toy_program, RPC_UDP));
    rpc_unregister(TOY_PROG, 4, RPC_UDP);  // the caller withdraws a refused pair
    rpc_unregister(TOY_PROG, 3, RPC_UDP);
    rpc_unregister(TOY_PROG, 3, RPC_TCP);  // entry already gone
    EXPECT_EQ(rpc_msg_words(rig.serve(call(1))), (words{1, 1, 0, 0, 0, 1}));
    rpc_pmap_call = nullptr;
}

// The counter's answer to `xid` from the rig's client, or read at `other`.
uint32_t count(rpc_rig &rig, uint32_t xid, sock_t other = SOCK_INVALID) {
    bytes msg = call(xid, 3, TOY_COUNTER);
    if (other == SOCK_INVALID) return rpc_msg_word_at(rig.serve(msg), 6);
    rig.serve(msg, rpc_dispatch, nullptr, 0);
    return rpc_msg_word_at(rpc_recv_datagram(other, 300), 6);
}

TEST_F(RpcCall, RetransmissionIsAnsweredFromTheSlotOnlyForItsClient) {
    EXPECT_EQ(serve(call(77, 3, TOY_COUNTER)), (words{77, 1, 0, 0, 0, 0, 100}));
    EXPECT_EQ(count(rig, 77), 100u);
    EXPECT_EQ(count(rig, 78), 101u);
    // A slot another thread is filling neither replays nor saves.
    toy_slot.state.store(-1);
    EXPECT_EQ(count(rig, 78), 102u);
    toy_slot.state.store(1);
    EXPECT_EQ(count(rig, 78), 101u);
    // The same xid from another port, then again from the first port, then
    // from another address: each runs.
    sock_t other = udp_socket(htonl(INADDR_LOOPBACK), 0);
    in_port_t first_port = rig.client_addr.sin_port;
    rig.client_addr.sin_port = htons(rpc_sock_port(other));
    EXPECT_EQ(count(rig, 78, other), 103u);
    rig.client_addr.sin_port = first_port;
    EXPECT_EQ(count(rig, 78), 104u);
    rig.client_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    count(rig, 78, other);
    EXPECT_EQ(toy_counter.load(), 106u);
    sock_close(other);
}

// A result that would run past the message area is stopped by the cursor
// and the caller gets SYSTEM_ERR instead of a reply cut short.
TEST(RpcReply, APastTheBufferResultOrAFailedSendFailsAndAreasCannotWrap) {
    rpc_rig rig(64);  // a message area of 576 bytes
    auto serve = [](xprt *xp, rpc_call *call) {
        auto encode = [](xdr_out *o, const void *) {
            for (uint32_t i = 0; i < 200; i++) xdr_u32(o, i);
        };
        rpc_reply(xp, call, encode, nullptr);
    };
    rpc_bytes reply = rig.serve(rpc_msg_args(1, 7, 1, 1, {}), serve);
    EXPECT_EQ(rpc_msg_accept_status(reply), RPC_SYSTEM_ERR);
    EXPECT_EQ(reply.size(), 24u);
    // A failed send is logged with its own error.
    log_capture log(1);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    xprt *xp = xprt_create(sv[0], RPC_TCP, 0, 100);
    sock_close(sv[1]);
    rpc_call call{};
    errno = EBADF;  // the number is the failing send's own, whatever came before
    EXPECT_FALSE(rpc_reply(xp, &call, rpc_void_result, nullptr));
    EXPECT_EQ(log.text(), "rpc: error cannot transmit reply 32\n");
    sock_close(sv[0]);
    xprt_free(xp);
    // 0xFFFFFF00 + 512 would wrap to a 256-byte area.
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0xFFFFFF00u), nullptr);
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0x7FFFFFFFu), nullptr);
}

// Four workers serve four calls together, cut a datagram larger than any
// buffer and rest between failing receives.
TEST(UdpWorkers, FourServeFourCallsTogetherCutOversizedDatagramsAndRestOnFailure) {
    xprt_stop.store(0);
    toy_reset();
    // Bound to every address: a reply leaves from the address called. The
    // record outlives the workers, which keep pointing at its socket.
    sock_t s = udp_socket(0, 0);
    uint16_t port = rpc_sock_port(s);
    xprt *base = xprt_create(s, RPC_UDP, port, 1000);
    toy_registration reg{base, 1, RPC_UDP};
    ASSERT_TRUE(reg.ok);
    EXPECT_FALSE(udp_workers_start(1, base)) << "one thread means no workers";
    ASSERT_TRUE(udp_workers_start(4, base));
    // The gate answers only when four calls are inside at once; one worker
    // would keep each call waiting its full 5 s.
    std::vector<words> replies(4);
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 4; i++)
        clients.emplace_back([&, i] {
            rpc_bytes gate = call(1000 + i, 1, TOY_GATE);
            replies[i] = rpc_msg_words(rpc_udp_call(port, gate, 6000, "127.0.0.1", "127.0.0.2"));
        });
    for (auto &c : clients) c.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(replies[i], (words{1000 + i, 1, 0, 0, 0, 0, 4}));
    // A datagram larger than any buffer is cut, and still answered.
    EXPECT_EQ(rpc_msg_words(
                  rpc_udp_call(port, rpc_msg_args(5, TOY_PROG, 1, TOY_ECHO, words(1200)), 2000)),
              (words{5, 1, 0, 0, 0, 4}));
    // A receive that fails at once, every time (the socket switched to
    // non-blocking), is retried once a second, not at full speed.
    ASSERT_EQ(fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK), 0);
    for (int i = 0; i < 4; i++) rpc_udp_call(port, {0}, 0);  // out of their blocking receives
    clock_t cpu = clock();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(double(clock() - cpu) / CLOCKS_PER_SEC, 0.3);
    // The workers see the stop flag after their next receive: wake them.
    xprt_stop.store(1);
    for (int i = 0; i < 100 && udp_workers_running.load() > 0; i++) {
        rpc_udp_call(port, {0}, 0);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(udp_workers_running.load(), 0);
    xprt_stop.store(0);
    xprt_free(base);
    sock_close(s);
}

TEST(ClntCall, ReplyTable) {
    const uint32_t X = 77;
    struct row {
        rpc_words reply;
        int32_t expect;
    } rows[] = {
        {{X, 1, 0, 0}, CLNT_SHORT},
        {{X + 1, 1, 0, 0, 0, 0}, CLNT_BAD_XID},
        {{X, 0, 0, 0, 0, 0}, CLNT_NOT_REPLY},
        {{X, 1, 1, 0, 2, 2}, CLNT_RPC_MISMATCH},
        {{X, 1, 0, 0, 0, 2, 2, 2}, CLNT_PROG_MISMATCH},
        {{X, 1, 0, 0, 0, 4}, CLNT_SYSTEM_ERR},
        {{X, 1, 0, 0, 0}, CLNT_SHORT},
        {{X, 1, 0, 0, 0, 0, 1}, 28},
    };
    for (const row &r : rows) {
        uint8_t buffer[4 + 256];
        xprt xp;
        clnt_xprt_init(&xp, buffer, 256);
        xp.xid = X;
        rpc_bytes m = rpc_msg_bytes(r.reply);
        memcpy(xp.msg, m.data(), m.size());
        xp.count = int32_t(m.size());
        EXPECT_EQ(clnt_check_reply(&xp), r.expect) << "reply of " << r.reply.size() << " words";
    }
}

// The EXPORT answer as the pages show it: directories in their display form,
// "-" names as options and the rest as clients, each followed by a blank.
TEST(ClntQuery, AnExportListSplitsOptionsFromClients) {
    rpc_bytes body;
    // Each text follows a 1 word; "" stands for the 0 word ending a list.
    for (std::string text : {"/c/data", "-ro", "host1", "-mapall:7", "", "/d", "", ""}) {
        rpc_msg_word(body, !text.empty());
        if (text.empty()) continue;
        rpc_msg_word(body, uint32_t(text.size()));
        rpc_msg_opaque(body, text.data(), uint32_t(text.size()));
    }
    rpc_fake mountd(0, body);
    uint16_t saved = config.mount_port;
    config.mount_port = mountd.port;
    std::vector<std::string> seen;
    auto add = [](void *ctx, const char *dir, const char *options, const char *clients) {
        auto *out = static_cast<std::vector<std::string> *>(ctx);
        out->push_back(std::string(dir) + "|" + options + "|" + clients);
    };
    EXPECT_TRUE(mount_exports(1, add, &seen));
    config.mount_port = saved;
    EXPECT_EQ(seen, (std::vector<std::string>{"c:\\data|-ro -mapall:7 |host1 ", "d:\\||"}));
}

// A fake portmapper on port 111, free in the test's own network namespace.
// The first call of the run takes its transaction id from the clock's
// seconds (low 16 bits), each later call the next one.
TEST(ClntPmap, SetUnsetSendsTheMappingAndReadsTheBoolean) {
    if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
    uint32_t xid;
    {
        rpc_fake pm(111, rpc_msg_bytes({1}));
        uint32_t now = uint32_t(time(nullptr)) & 0xFFFF;
        EXPECT_TRUE(pmap_set_unset(100005, 3, 6, 1058));
        rpc_words w = rpc_msg_words(pm.last_call());
        xid = w.at(0);
        EXPECT_LE((xid - now) & 0xFFFF, 2u) << "first id " << xid << " at second " << now;
        EXPECT_EQ(rpc_words(w.begin() + 1, w.end()),
                  (rpc_words{0, 2, 100000, 2, 1, 0, 0, 0, 0, 100005, 3, 6, 1058}))
            << "SET, AUTH_NULL, mapping";
    }
    {
        rpc_fake pm(111, rpc_msg_bytes({1, 1}));  // one word too many
        EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
        EXPECT_EQ(rpc_msg_word_at(pm.last_call(), 0), xid + 1);
    }
    // A portmapper that never answers: the call gives up after 2 s, and
    // says so.
    rpc_fake pm(111, {}, true);
    log_capture log;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1900ms);
    EXPECT_EQ(log.text(), "RPC receive timeout\n");
}

}  // namespace
