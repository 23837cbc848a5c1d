// The portmapper's procedures as a caller sees them: the reply datagrams of
// SET, UNSET, GETPORT, DUMP and CALLIT, their refusals and their log lines.
#include <gtest/gtest.h>

#include <chrono>

#include "pmap/pmap.h"
#include "pmap/pmap_internal.h"
#include "support/pmap_net.h"
#include "support/rpc_msg.h"

namespace {

constexpr uint32_t SET = 1, UNSET = 2, GETPORT = 3, DUMP = 4, CALLIT = 5;
constexpr uint32_t P = 0x20000042;  // a test program
using words = std::vector<uint32_t>;

struct mapping {
    uint32_t prog, vers, prot, port;
    bool operator==(const mapping &) const = default;
};

std::vector<mapping> dump_entries(const std::vector<uint8_t> &r) {
    std::vector<mapping> out;
    size_t i = 6;
    for (; pmap_word(r, i) == 1; i += 5)
        out.push_back(
            {pmap_word(r, i + 1), pmap_word(r, i + 2), pmap_word(r, i + 3), pmap_word(r, i + 4)});
    EXPECT_EQ(r.size(), 4 * (i + 1)) << "list ends with one 0 word";
    return out;
}

class PmapProc : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(pmap_list_reset());
        ASSERT_TRUE(pmap_rig_open(&local_));
        ASSERT_TRUE(pmap_rig_open(&remote_, "127.0.0.2"));
    }
    void TearDown() override {
        pmap_rig_close(&local_);
        pmap_rig_close(&remote_);
    }
    std::vector<uint8_t> call(uint32_t proc, const words &args, bool remote = false) {
        return pmap_rig_call(remote ? &remote_ : &local_, pmap_msg(++xid_, proc, args));
    }
    // The single result word of SET, UNSET and GETPORT.
    uint32_t result(uint32_t proc, const words &args, bool remote = false) {
        auto r = call(proc, args, remote);
        EXPECT_EQ(rpc_msg_words(r), (words{xid_, 1, 0, 0, 0, 0, pmap_word(r, 6)}));
        return pmap_word(r, 6);
    }
    pmap_rig local_, remote_;
    uint32_t xid_ = 700;
};

TEST(PmapTable, EveryRowIsWellFormed) {
    EXPECT_TRUE(rpc_program_valid(&pmap_program));
}

TEST_F(PmapProc, SetUnsetAndGetportRules) {
    ASSERT_TRUE(pmap_list_set(P, 2, 17, 700));  // as if set by a privileged service
    struct row {
        const char *what;
        bool remote;
        uint32_t proc;
        words args;
        uint32_t expect;
    } rows[] = {
        {"privileged port", false, SET, {100005, 1, 17, 635}, 0},
        {"port 1024", false, SET, {100005, 1, 17, 1024}, 0},
        {"first port", false, SET, {100005, 1, 17, 1058}, 1},
        {"same mapping again", false, SET, {100005, 1, 17, 1058}, 1},
        {"another port", false, SET, {100005, 1, 17, 2000}, 0},
        {"first port kept", false, GETPORT, {100005, 1, 17, 0}, 1058},
        {"own mapping", false, SET, {100000, 2, 17, 2000}, 0},
        {"own mapping kept", false, GETPORT, {100000, 2, 17, 0}, 111},
        {"version 2", false, SET, {100005, 2, 17, 1059}, 1},
        {"last other version", false, GETPORT, {100005, 3, 17, 0}, 1059},
        {"no TCP mapping", false, GETPORT, {100005, 1, 6, 0}, 0},
        {"unknown program", false, GETPORT, {123456, 1, 17, 0}, 0},
        {"version 3 beside 1 and 2", false, SET, {100005, 3, 17, 1060}, 1},
        {"version 3 found", false, GETPORT, {100005, 3, 17, 0}, 1060},
        {"remote SET", true, SET, {100003, 2, 17, 2049}, 0},
        {"remote UNSET", true, UNSET, {100005, 1, 17, 0}, 0},
        {"remote GETPORT", true, GETPORT, {100005, 1, 17, 0}, 1058},
        {"UDP mapping", false, SET, {P, 1, 17, 3000}, 1},
        {"TCP mapping", false, SET, {P, 1, 6, 3001}, 1},
        {"portmapper never", false, UNSET, {100000, 2, 17, 0}, 0},
        // Protocol and port are not compared: the first match (UDP) goes.
        {"first match", false, UNSET, {P, 1, 6, 9999}, 1},
        {"TCP left", false, GETPORT, {P, 1, 6, 0}, 3001},
        {"UDP gone: version 2 answers", false, GETPORT, {P, 1, 17, 0}, 700},
        {"second match", false, UNSET, {P, 1, 17, 0}, 1},
        {"nothing left", false, UNSET, {P, 1, 17, 0}, 0},
        {"privileged port stays", false, UNSET, {P, 2, 17, 0}, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(result(r.proc, r.args, r.remote), r.expect);
    }
    EXPECT_EQ(dump_entries(call(DUMP, {}, true)), (std::vector<mapping>{{100000, 2, 6, 111},
                                                                        {100000, 2, 17, 111},
                                                                        {P, 2, 17, 700},
                                                                        {100005, 1, 17, 1058},
                                                                        {100005, 2, 17, 1059},
                                                                        {100005, 3, 17, 1060}}));
}

TEST_F(PmapProc, DumpListsInOrderAndStopsAt26) {
    for (uint32_t i = 0; i < 28; i++) ASSERT_EQ(result(SET, {P + i, 1, 17, 5000 + i}), 1u);
    auto all = dump_entries(call(DUMP, {}));
    ASSERT_EQ(all.size(), 26u);
    EXPECT_EQ(all[0], (mapping{100000, 2, 6, 111}));
    EXPECT_EQ(all[2], (mapping{P, 1, 17, 5000}));
    EXPECT_EQ(all[25], (mapping{P + 23, 1, 17, 5023}));
}

TEST_F(PmapProc, BadArgumentsVersionsProgramsAndProcedures) {
    log_capture log;
    struct row {
        const char *what;
        std::vector<uint8_t> msg;
        words reply;
    } rows[] = {
        {"set", pmap_msg(1, SET, {100005, 1, 17}), {1, 1, 0, 0, 0, 4}},
        {"unset", pmap_msg(2, UNSET, {100005, 1, 17, 0, 0}), {2, 1, 0, 0, 0, 4}},
        {"getport", pmap_msg(3, GETPORT, {}), {3, 1, 0, 0, 0, 4}},
        {"dump", pmap_msg(4, DUMP, {0}), {4, 1, 0, 0, 0, 4}},
        {"version 3", pmap_msg(5, DUMP, {}, 3), {5, 1, 0, 0, 0, 2, 2, 2}},
        {"program 100003", pmap_msg(6, 0, {}, 2, 100003), {6, 1, 0, 0, 0, 1}},
        {"procedure 6", pmap_msg(7, 6, {}), {7, 1, 0, 0, 0, 3}},
        {"NULL", pmap_msg(8, 0, {}), {8, 1, 0, 0, 0, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(rpc_msg_words(pmap_rig_call(&local_, r.msg)), r.reply);
    }
    std::string text = log.text();
    for (const char *name : {"set", "unset", "getport", "dump"})
        EXPECT_NE(text.find(std::string(" pmapd: rpc pmap_") + name + " with invalid arguments\n"),
                  std::string::npos)
            << name;
    EXPECT_EQ(dump_entries(call(DUMP, {})).size(), 2u) << "nothing was set";
}

TEST_F(PmapProc, CallitForwardsToTheLocalProgramAndReturnsItsResults) {
    std::vector<uint8_t> cafe;
    rpc_msg_word(cafe, 0xCAFE);
    pmap_fake echo(RPC_UDP, 0, 0, cafe, true);
    ASSERT_EQ(result(SET, {P, 1, 17, echo.port}), 1u);
    // Version 3 is not registered: the lookup falls back to version 1. The
    // results are what follows the forwarded reply's 24 bytes.
    auto r = call(CALLIT, {P, 3, 7, 8, 0x11223344, 0x55667788});
    EXPECT_EQ(rpc_msg_words(r),
              (words{xid_, 1, 0, 0, 0, 0, echo.port, 12, 0xCAFE, 0x11223344, 0x55667788}));
    // The caller's version goes on unchanged, with AUTH_NULL.
    auto fwd = rpc_msg_words(echo.last_call());
    ASSERT_EQ(fwd.size(), 12u);
    EXPECT_EQ(words(fwd.begin() + 1, fwd.end()),
              (words{0, 2, P, 3, 7, 0, 0, 0, 0, 0x11223344, 0x55667788}));
}

TEST_F(PmapProc, CallitIsSilentOnEveryFailure) {
    pmap_fake echo(RPC_UDP, 0, 0, {}, true);
    ASSERT_EQ(result(SET, {P, 1, 17, echo.port}), 1u);
    log_capture log;
    EXPECT_TRUE(call(CALLIT, {P, 1, 0, 0}, true).empty()) << "remote caller";
    EXPECT_TRUE(call(CALLIT, {P + 1, 1, 0, 0}).empty()) << "unregistered";
    EXPECT_FALSE(call(CALLIT, {P, 1, 0, 0}).empty()) << "control";
    EXPECT_EQ(log.text().find("invalid"), std::string::npos);
    EXPECT_TRUE(call(CALLIT, {P, 1, 0, 8, 1}).empty()) << "length beyond the data";
    EXPECT_TRUE(call(CALLIT, {P, 1, 0}).empty()) << "no length field";
    EXPECT_EQ(echo.calls(), 1);
    std::string text = log.text();
    const char *line = " pmapd: rpc pmap_callit with invalid arguments\n";
    ASSERT_NE(text.find(line), std::string::npos);
    EXPECT_NE(text.find(line, text.find(line) + 1), std::string::npos);
    // The portmapper itself is never a target: this thread would have to
    // answer the forwarded call while it waits for it.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(call(CALLIT, {100000, 2, 0, 0}).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(log.text().find("timeout"), std::string::npos);
    // A registered port where nobody answers: 2 s, the timeout line, no reply.
    ASSERT_TRUE(pmap_list_set(P + 2, 1, 17, 1));
    EXPECT_TRUE(call(CALLIT, {P + 2, 1, 0, 0}).empty());
    EXPECT_NE(log.text().find("RPC receive timeout\n"), std::string::npos);
}

}  // namespace
