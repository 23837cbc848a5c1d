// The portmapper's procedures as a caller sees them: the reply datagrams of
// SET, UNSET, GETPORT, DUMP and CALLIT, their refusals and their log lines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "pmap/pmap.h"
#include "pmap/pmap_internal.h"
#include "support/pmap_net.h"
#include "support/rpc_msg.h"

namespace {

constexpr uint32_t SET = 1, UNSET = 2, GETPORT = 3, DUMP = 4, CALLIT = 5;
constexpr uint32_t TEST_PROG = 0x20000042;

// Accept status of an accepted reply with an empty verifier.
uint32_t accept_status(const std::vector<uint8_t> &r) {
    return pmap_word(r, 5);
}
// The single result word of SET, UNSET and GETPORT.
uint32_t result(const std::vector<uint8_t> &r) {
    EXPECT_EQ(r.size(), 28u);
    EXPECT_EQ(accept_status(r), 0u);
    return pmap_word(r, 6);
}

struct mapping {
    uint32_t prog, vers, prot, port;
    bool operator==(const mapping &) const = default;
};

std::vector<mapping> dump_entries(const std::vector<uint8_t> &r) {
    std::vector<mapping> out;
    size_t i = 6;
    while (pmap_word(r, i) == 1) {
        out.push_back(
            {pmap_word(r, i + 1), pmap_word(r, i + 2), pmap_word(r, i + 3), pmap_word(r, i + 4)});
        i += 5;
    }
    EXPECT_EQ(r.size(), 4 * (i + 1)) << "list ends with one 0 word";
    return out;
}

class PmapProc : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(pmap_list_reset());
        ASSERT_TRUE(pmap_rig_open(&local_));
    }
    void TearDown() override { pmap_rig_close(&local_); }
    std::vector<uint8_t> call(uint32_t proc, const std::vector<uint32_t> &args,
                              pmap_rig *rig = nullptr) {
        return pmap_rig_call(rig ? rig : &local_, pmap_msg(++xid_, proc, args));
    }
    pmap_rig local_;
    uint32_t xid_ = 700;
};

TEST_F(PmapProc, SetKeepsTheFirstPortAndRefusesPrivilegedPorts) {
    EXPECT_EQ(result(call(SET, {100005, 1, 17, 635})), 0u);
    EXPECT_EQ(result(call(SET, {100005, 1, 17, 1024})), 0u);
    EXPECT_EQ(result(call(SET, {100005, 1, 17, 1058})), 1u);
    EXPECT_EQ(result(call(SET, {100005, 1, 17, 1058})), 1u) << "same mapping again";
    EXPECT_EQ(result(call(SET, {100005, 1, 17, 2000})), 0u) << "another port";
    EXPECT_EQ(result(call(GETPORT, {100005, 1, 17, 0})), 1058u);
    EXPECT_EQ(result(call(SET, {100000, 2, 17, 2000})), 0u) << "own mapping stays";
    EXPECT_EQ(result(call(GETPORT, {100000, 2, 17, 0})), 111u);
}

TEST_F(PmapProc, GetportFallsBackToAnotherVersionOfTheSameProtocol) {
    ASSERT_EQ(result(call(SET, {100005, 1, 17, 1058})), 1u);
    ASSERT_EQ(result(call(SET, {100005, 2, 17, 1059})), 1u);
    EXPECT_EQ(result(call(GETPORT, {100005, 3, 17, 0})), 1059u) << "the last other version";
    EXPECT_EQ(result(call(GETPORT, {100005, 1, 6, 0})), 0u) << "no TCP mapping";
    EXPECT_EQ(result(call(GETPORT, {123456, 1, 17, 0})), 0u);
    // SET checks the version itself: version 3 is added beside 1 and 2.
    EXPECT_EQ(result(call(SET, {100005, 3, 17, 1060})), 1u);
    EXPECT_EQ(result(call(GETPORT, {100005, 3, 17, 0})), 1060u);
}

TEST_F(PmapProc, RemoteCallersMayReadButNotChange) {
    pmap_rig remote;
    ASSERT_TRUE(pmap_rig_open(&remote, "127.0.0.2"));
    ASSERT_EQ(result(call(SET, {100005, 1, 17, 1058})), 1u);
    EXPECT_EQ(result(call(SET, {100003, 2, 17, 2049}, &remote)), 0u);
    EXPECT_EQ(result(call(UNSET, {100005, 1, 17, 0}, &remote)), 0u);
    EXPECT_EQ(result(call(GETPORT, {100005, 1, 17, 0}, &remote)), 1058u);
    EXPECT_EQ(dump_entries(call(DUMP, {}, &remote)).size(), 3u);
    pmap_rig_close(&remote);
}

TEST_F(PmapProc, UnsetRemovesTheFirstMatchOnlyAndNeverThePortmapper) {
    ASSERT_EQ(result(call(SET, {TEST_PROG, 1, 17, 3000})), 1u);
    ASSERT_EQ(result(call(SET, {TEST_PROG, 1, 6, 3001})), 1u);
    ASSERT_TRUE(pmap_list_set(TEST_PROG, 2, 17, 700));  // as if set by a privileged service
    EXPECT_EQ(result(call(UNSET, {100000, 2, 17, 0})), 0u);
    // Protocol and port of the request are not compared: two calls remove both.
    EXPECT_EQ(result(call(UNSET, {TEST_PROG, 1, 6, 9999})), 1u);
    auto left = dump_entries(call(DUMP, {}));
    ASSERT_EQ(left.size(), 4u);
    EXPECT_EQ(left[2], (mapping{TEST_PROG, 1, 6, 3001})) << "the UDP one went first";
    EXPECT_EQ(result(call(UNSET, {TEST_PROG, 1, 17, 0})), 1u);
    EXPECT_EQ(result(call(UNSET, {TEST_PROG, 1, 17, 0})), 0u) << "nothing left";
    EXPECT_EQ(result(call(UNSET, {TEST_PROG, 2, 17, 0})), 0u) << "privileged port stays";
    left = dump_entries(call(DUMP, {}));
    EXPECT_EQ(left, (std::vector<mapping>{
                        {100000, 2, 6, 111}, {100000, 2, 17, 111}, {TEST_PROG, 2, 17, 700}}));
}

TEST_F(PmapProc, DumpListsInOrderAndStopsAt26) {
    EXPECT_EQ(dump_entries(call(DUMP, {})),
              (std::vector<mapping>{{100000, 2, 6, 111}, {100000, 2, 17, 111}}));
    for (uint32_t i = 0; i < 28; i++)
        ASSERT_EQ(result(call(SET, {TEST_PROG + i, 1, 17, 5000 + i})), 1u);
    auto all = dump_entries(call(DUMP, {}));
    ASSERT_EQ(all.size(), 26u);
    EXPECT_EQ(all[2], (mapping{TEST_PROG, 1, 17, 5000}));
    EXPECT_EQ(all[25], (mapping{TEST_PROG + 23, 1, 17, 5023}));
}

TEST_F(PmapProc, WrongArgumentLengthsAreGarbageWithTheirLogLines) {
    pmap_log log;
    EXPECT_EQ(accept_status(call(SET, {100005, 1, 17})), 4u);
    EXPECT_EQ(accept_status(call(UNSET, {100005, 1, 17, 0, 0})), 4u);
    EXPECT_EQ(accept_status(call(GETPORT, {})), 4u);
    EXPECT_EQ(accept_status(call(DUMP, {0})), 4u);
    std::string text = log.text();
    for (const char *name : {"set", "unset", "getport", "dump"})
        EXPECT_NE(text.find(std::string(" pmapd: rpc pmap_") + name + " with invalid arguments\n"),
                  std::string::npos)
            << name;
    EXPECT_EQ(dump_entries(call(DUMP, {})).size(), 2u) << "nothing was set";
}

TEST_F(PmapProc, OtherVersionsProgramsAndProceduresAreRefused) {
    for (uint32_t vers : {3u, 4u}) {
        auto r = pmap_rig_call(&local_, pmap_msg(1, DUMP, {}, vers));
        ASSERT_EQ(r.size(), 32u);
        EXPECT_EQ(accept_status(r), 2u);
        EXPECT_EQ(pmap_word(r, 6), 2u);
        EXPECT_EQ(pmap_word(r, 7), 2u);
    }
    EXPECT_EQ(accept_status(pmap_rig_call(&local_, pmap_msg(2, 0, {}, 2, 100003))), 1u);
    EXPECT_EQ(accept_status(call(6, {})), 3u);
    auto null = call(0, {});
    EXPECT_EQ(null.size(), 24u);
    EXPECT_EQ(accept_status(null), 0u);
}

// A local UDP program for CALLIT: answers every call with the word 0xCAFE
// followed by the call's argument bytes, and remembers what it was sent.
class echo_program {
   public:
    echo_program() {
        sock_ = udp_socket(htonl(INADDR_LOOPBACK), 0);
        port = rpc_sock_port(sock_);
        thread_ = std::thread([this] { run(); });
    }
    ~echo_program() {
        stop_ = true;
        thread_.join();
        sock_close(sock_);
    }
    std::vector<uint8_t> last_call() {
        std::lock_guard<std::mutex> hold(lock_);
        return last_;
    }
    int calls() { return calls_.load(); }
    uint16_t port;

   private:
    void run() {
        uint8_t in[9000];
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(sock_, &set);
            timeval tv{0, 50000};
            if (select(sock_ + 1, &set, nullptr, nullptr, &tv) < 1) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(sock_, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 40) continue;
            {
                std::lock_guard<std::mutex> hold(lock_);
                last_.assign(in, in + n);
            }
            calls_++;
            std::vector<uint8_t> out;
            rpc_msg_word(out, pmap_word(last_call(), 0));
            for (uint32_t w : {1u, 0u, 0u, 0u, 0u, 0xCAFEu}) rpc_msg_word(out, w);
            out.insert(out.end(), in + 40, in + n);
            sendto(sock_, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    sock_t sock_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> calls_{0};
    std::mutex lock_;
    std::vector<uint8_t> last_;
};

TEST_F(PmapProc, CallitForwardsToTheLocalProgramAndReturnsItsResults) {
    echo_program echo;
    ASSERT_EQ(result(call(SET, {TEST_PROG, 1, 17, echo.port})), 1u);
    // Version 3 is not registered: the lookup falls back to version 1.
    auto r = call(CALLIT, {TEST_PROG, 3, 7, 8, 0x11223344, 0x55667788});
    ASSERT_EQ(r.size(), 24u + 4 + 4 + 12);
    EXPECT_EQ(accept_status(r), 0u);
    EXPECT_EQ(pmap_word(r, 6), echo.port);
    EXPECT_EQ(pmap_word(r, 7), 12u) << "results after the forwarded reply's 24 bytes";
    EXPECT_EQ(pmap_word(r, 8), 0xCAFEu);
    EXPECT_EQ(pmap_word(r, 9), 0x11223344u);
    EXPECT_EQ(pmap_word(r, 10), 0x55667788u);
    auto fwd = echo.last_call();
    ASSERT_EQ(fwd.size(), 48u);
    EXPECT_EQ(pmap_word(fwd, 1), 0u) << "CALL";
    EXPECT_EQ(pmap_word(fwd, 3), TEST_PROG);
    EXPECT_EQ(pmap_word(fwd, 4), 3u) << "the caller's version goes on unchanged";
    EXPECT_EQ(pmap_word(fwd, 5), 7u);
    EXPECT_EQ(pmap_word(fwd, 6), 0u) << "AUTH_NULL";
    EXPECT_EQ(pmap_word(fwd, 10), 0x11223344u);
}

TEST_F(PmapProc, CallitIsSilentOnEveryFailure) {
    echo_program echo;
    ASSERT_EQ(result(call(SET, {TEST_PROG, 1, 17, echo.port})), 1u);
    pmap_rig remote;
    ASSERT_TRUE(pmap_rig_open(&remote, "127.0.0.2"));
    pmap_log log;
    EXPECT_TRUE(call(CALLIT, {TEST_PROG, 1, 0, 0}, &remote).empty()) << "remote caller";
    EXPECT_TRUE(call(CALLIT, {TEST_PROG + 1, 1, 0, 0}).empty()) << "unregistered";
    EXPECT_TRUE(call(CALLIT, {TEST_PROG, 1, 0, 0}, nullptr).size() > 0) << "control";
    EXPECT_EQ(echo.calls(), 1);
    EXPECT_EQ(log.text().find("invalid"), std::string::npos);
    EXPECT_TRUE(call(CALLIT, {TEST_PROG, 1, 0, 8, 1}).empty()) << "length beyond the data";
    EXPECT_TRUE(call(CALLIT, {TEST_PROG, 1, 0}).empty()) << "no length field";
    EXPECT_EQ(echo.calls(), 1);
    std::string text = log.text();
    size_t first = text.find(" pmapd: rpc pmap_callit with invalid arguments\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(" pmapd: rpc pmap_callit with invalid arguments\n", first + 1),
              std::string::npos);
    // The portmapper itself is never a target: this thread would have to
    // answer the forwarded call while it waits for it.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(call(CALLIT, {100000, 2, 0, 0}, nullptr).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(log.text().find("timeout"), std::string::npos);
    // A registered port where nobody answers: 2 s, the timeout line, no reply.
    ASSERT_EQ(result(call(SET, {TEST_PROG + 2, 1, 17, 9})), 0u);
    ASSERT_TRUE(pmap_list_set(TEST_PROG + 2, 1, 17, 1));
    EXPECT_TRUE(call(CALLIT, {TEST_PROG + 2, 1, 0, 0}).empty());
    EXPECT_NE(log.text().find("RPC receive timeout\n"), std::string::npos);
    pmap_rig_close(&remote);
}

}  // namespace
