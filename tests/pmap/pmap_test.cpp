// The portmapper as a caller sees it: the replies of SET, UNSET, GETPORT,
// DUMP and CALLIT, their refusals and log lines; then the service on port
// 111 of a private network namespace against strangers and callers that
// would hold its thread.
#include "pmap/pmap.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "pmap/pmap_internal.h"
#include "rpc/clnt.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;
using words = rpc_words;

using clock_type = std::chrono::steady_clock;
constexpr uint32_t SET = 1, UNSET = 2, GETPORT = 3, DUMP = 4, CALLIT = 5;
constexpr uint32_t P = 0x20000042;  // a test program

rpc_bytes pmap_msg(uint32_t xid, uint32_t proc, const words &args) {
    return rpc_msg_args(xid, PMAP_PROG, PMAP_VERS, proc, args);
}

class PmapProc : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(pmap_list_reset());
        ASSERT_TRUE(local_.ok() && other_.ok() && remote_.ok());
        ASSERT_TRUE(pmap_forward_start());
    }
    // Forwarders answer on the rigs' sockets: they end first.
    void TearDown() override { pmap_forward_stop(); }
    // Callers: this host, this host from another port, another host.
    enum caller { LOCAL, OTHER, REMOTE };
    rpc_bytes call(uint32_t proc, const words &args, caller who = LOCAL) {
        rpc_rig &rig = who == LOCAL ? local_ : who == OTHER ? other_ : remote_;
        return rig.serve(pmap_msg(++xid_, proc, args), pmap_serve);
    }
    // The single result word of SET, UNSET and GETPORT.
    uint32_t result(uint32_t proc, const words &args, caller who = LOCAL) {
        rpc_bytes r = call(proc, args, who);
        EXPECT_EQ(rpc_msg_words(r), (words{xid_, 1, 0, 0, 0, 0, rpc_msg_word_at(r, 6)}));
        return rpc_msg_word_at(r, 6);
    }
    rpc_rig local_, other_, remote_{8192, "127.0.0.2"};
    uint32_t xid_ = 700;
};

TEST_F(PmapProc, SetUnsetAndGetportRules) {
    ASSERT_TRUE(pmap_list_set(P, 2, 17, 700, nullptr));  // as if set by a privileged service
    struct row {
        const char *what;
        caller who;
        uint32_t proc;
        words args;
        uint32_t expect;
    } rows[] = {
        {"privileged port", LOCAL, SET, {100005, 1, 17, 635}, 0},
        {"first port", LOCAL, SET, {100005, 1, 17, 1058}, 1},
        {"another port", LOCAL, SET, {100005, 1, 17, 2000}, 0},
        {"first port kept", LOCAL, GETPORT, {100005, 1, 17, 0}, 1058},
        {"own mapping", LOCAL, SET, {100000, 2, 17, 2000}, 0},
        {"version 2", LOCAL, SET, {100005, 2, 17, 1059}, 1},
        {"last other version", LOCAL, GETPORT, {100005, 3, 17, 0}, 1059},
        {"remote UNSET", REMOTE, UNSET, {100005, 1, 17, 0}, 0},
        {"remote GETPORT", REMOTE, GETPORT, {100005, 1, 17, 0}, 1058},
        {"UDP mapping", LOCAL, SET, {P, 1, 17, 3000}, 1},
        {"TCP mapping", LOCAL, SET, {P, 1, 6, 3001}, 1},
        // A mapping goes only by its setter's hand (or a privileged port's).
        {"another local program", OTHER, UNSET, {P, 1, 17, 0}, 0},
        {"nor over it", OTHER, SET, {P, 1, 17, 3002}, 0},
        {"portmapper never", LOCAL, UNSET, {100000, 2, 17, 0}, 0},
        // Protocol and port are not compared: the first match (UDP) goes.
        {"first match", LOCAL, UNSET, {P, 1, 6, 9999}, 1},
        {"TCP left", LOCAL, GETPORT, {P, 1, 6, 0}, 3001},
        {"UDP gone: version 2 answers", LOCAL, GETPORT, {P, 1, 17, 0}, 700},
        {"second match", LOCAL, UNSET, {P, 1, 17, 0}, 1},
        {"privileged port stays", LOCAL, UNSET, {P, 2, 17, 0}, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(result(r.proc, r.args, r.who), r.expect);
    }
    // A mapping of five words is garbage; another version or program is not
    // the portmapper's.
    EXPECT_EQ(rpc_msg_words(local_.serve(pmap_msg(3, UNSET, {P, 1, 17, 0, 0}), pmap_serve)),
              (words{3, 1, 0, 0, 0, 4}));
    EXPECT_EQ(rpc_msg_words(local_.serve(rpc_msg_args(1, PMAP_PROG, 3, DUMP, {}), pmap_serve)),
              (words{1, 1, 0, 0, 0, 2, 2, 2}));
    EXPECT_EQ(rpc_msg_words(local_.serve(rpc_msg_args(2, 100003, 2, 0, {}), pmap_serve)),
              (words{2, 1, 0, 0, 0, 1}));
    // A DUMP holds 26 mappings at most.
    for (uint32_t i = 0; i < 28; i++) ASSERT_EQ(result(SET, {P + 9 + i, 1, 17, 5000}), 1u);
    EXPECT_EQ(call(DUMP, {}).size(), 4 * (6 + 26 * 5 + 1));
}

TEST_F(PmapProc, CallitForwardsToTheLocalProgramAndIsSilentOnEveryFailure) {
    rpc_fake echo(0, rpc_msg_bytes({0xCAFE}));
    ASSERT_EQ(result(SET, {P, 1, 17, echo.port}), 1u);
    // Version 3 is not registered: the lookup falls back to version 1. The
    // results are what follows the forwarded reply's 24 bytes; the caller's
    // version and arguments go on unchanged, with AUTH_NULL.
    words r = rpc_msg_words(call(CALLIT, {P, 3, 7, 8, 0x11223344, 0x55667788}));
    EXPECT_EQ(r, (words{xid_, 1, 0, 0, 0, 0, echo.port, 4, 0xCAFE}));
    words fwd = rpc_msg_words(echo.last_call());
    EXPECT_EQ(words(fwd.begin() + 1, fwd.end()),
              (words{0, 2, P, 3, 7, 0, 0, 0, 0, 0x11223344, 0x55667788}));
    log_capture log;
    EXPECT_TRUE(call(CALLIT, {P, 1, 0, 0}, REMOTE).empty()) << "remote caller";
    EXPECT_TRUE(call(CALLIT, {P + 1, 1, 0, 0}).empty()) << "unregistered";
    EXPECT_TRUE(call(CALLIT, {P, 1, 0, 8, 1}).empty()) << "length beyond the data";
    EXPECT_TRUE(call(CALLIT, {P, 1, 0}).empty()) << "no length field";
    EXPECT_EQ(echo.calls(), 1);
    // The portmapper itself is never a target (a forwarded SET or UNSET
    // would pass for a local caller): nothing waits for its answer. Silent
    // targets are the service test's.
    EXPECT_TRUE(call(CALLIT, {100000, 2, 0, 0}).empty());
    pmap_forward_stop();  // waits for the forwarders
    const char *bad = " pmapd: rpc pmap_callit with invalid arguments\n";
    std::string text = log.text();
    EXPECT_NE(text.find(bad, text.find(bad) + 1), std::string::npos) << "twice: " << text;
    EXPECT_EQ(text.find("RPC receive timeout\n"), std::string::npos) << text;
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

// The single result word of SET, UNSET or GETPORT sent from `from` (empty
// reply: ~0u).
uint32_t answer(uint32_t proc, const words &args, const char *from = "127.0.0.1") {
    rpc_bytes r = rpc_udp_call(111, pmap_msg(proc, proc, args), 3000, from);
    return r.size() == 28 ? rpc_msg_word_at(r, 6) : ~0u;
}

// A name server that never answers: its address is put on this namespace's
// loopback and a socket there takes the queries and says nothing; the host
// gets a name of its own (UTS namespace) that no hosts file knows. A look-up
// of the host's name then waits for the resolver's whole time-out.
TEST_F(PmapService, StrangersNeverMakeItWaitOnTheResolverAndNewAddressesAreLearnt) {
    std::string ns = "127.0.0.1", line, key;
    for (std::ifstream conf("/etc/resolv.conf"); std::getline(conf, line);) {
        std::istringstream in(line);
        if (in >> key && key == "nameserver" && in >> ns) break;
    }
    in_addr ns_addr{};
    if (inet_pton(AF_INET, ns.c_str(), &ns_addr) != 1) GTEST_SKIP() << "name server " << ns;
    ASSERT_EQ(system(("ip addr add " + ns + "/32 dev lo 2>/dev/null; true").c_str()), 0);
    sock_t silent = udp_socket(ns_addr.s_addr, 53);
    ASSERT_NE(silent, SOCK_INVALID);
    // A namespace belongs to the thread that makes it and those it starts
    // afterwards: the portmapper starts again below.
    pmap_stop();
    ASSERT_EQ(unshare(CLONE_NEWUTS), 0);
    const char name[] = "nimbora-host-nobody-knows";
    ASSERT_EQ(sethostname(name, sizeof name - 1), 0);
    ASSERT_TRUE(pmap_start());
    auto start = clock_type::now();
    for (uint32_t i = 0; i < 5; i++)
        EXPECT_EQ(answer(SET, {P + i, 1, 17, 3000 + i}, "127.0.0.2"), 0u) << "a stranger's SET";
    EXPECT_EQ(answer(GETPORT, {100000, 2, 17, 0}), 111u);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    sock_close(silent);
    // An address added later is learnt on demand, the interface table being
    // read again at most once a second.
    ASSERT_EQ(system("ip addr add 10.9.8.7/32 dev lo"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(answer(SET, {P, 1, 17, 3000}, "10.9.8.7"), 1u);
    system("ip addr del 10.9.8.7/32 dev lo");
}

// Five indirect calls to a program that never answers: each holds a
// forwarder for 2 s (the fifth finds none free and is dropped), never the
// thread that answers everyone else. Over TCP CALLIT is refused.
TEST_F(PmapService, SilentCallitTargetsDoNotHoldThePortmapper) {
    sock_t c = rpc_tcp_connect(111);
    ASSERT_TRUE(rpc_tcp_send(c, pmap_msg(6, CALLIT, {100000, 2, 0, 0})));
    EXPECT_EQ(rpc_msg_words(rpc_tcp_recv(c)), (words{6, 1, 0, 0, 0, 3}));
    sock_close(c);
    rpc_fake silent(0, {}, true);
    rpc_fake echo(0, rpc_msg_bytes({0xCAFE}));
    ASSERT_EQ(answer(SET, {P, 1, 17, silent.port}), 1u);
    ASSERT_EQ(answer(SET, {P + 1, 1, 17, echo.port}), 1u);
    sock_t caller = udp_socket(htonl(INADDR_LOOPBACK), 0);
    auto start = clock_type::now();
    for (uint32_t i = 0; i < 5; i++)
        rpc_udp_exchange(caller, 111, pmap_msg(50 + i, CALLIT, {P, 1, 0, 0}), 0);
    EXPECT_EQ(answer(GETPORT, {100000, 2, 17, 0}), 111u) << "answered meanwhile";
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(rpc_recv_datagram(caller, 2500).empty()) << "no answer to a silent target";
    EXPECT_EQ(silent.calls(), int(PMAP_FORWARDERS));
    // The forwarders are free again.
    rpc_bytes r = rpc_udp_exchange(caller, 111, pmap_msg(60, CALLIT, {P + 1, 1, 0, 0}), 3000);
    EXPECT_EQ(rpc_msg_words(r), (words{60, 1, 0, 0, 0, 0, echo.port, 4, 0xCAFE}));
    sock_close(caller);
}

}  // namespace
