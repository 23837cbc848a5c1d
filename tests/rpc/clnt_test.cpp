// Client calls: the call header and transaction ids, the judgement of
// replies, the 2-second limit, registration through the portmapper seam,
// the parsers of the settings pages' queries and the display of paths.
#include "rpc/clnt.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "rpc/loop.h"
#include "server/config.h"
#include "support/pmap_net.h"
#include "support/rpc_msg.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Answers one call on 127.0.0.1:port with an accepted reply of `status` and
// the result bytes, over UDP or (as two fragments) over TCP.
class fake_server {
   public:
    fake_server(uint16_t protocol, uint16_t port, uint32_t status, std::vector<uint8_t> results)
        : protocol_(protocol), status_(status), results_(std::move(results)) {
        sock_ = protocol == RPC_UDP ? udp_socket(htonl(INADDR_LOOPBACK), port)
                                    : tcp_listen_socket("127.0.0.1", port);
        this->port = rpc_sock_port(sock_);
        thread_ = std::thread([this] { serve(); });
    }
    ~fake_server() {
        if (thread_.joinable()) thread_.join();
        sock_close(sock_);
    }
    // The call it received; waits until it has answered.
    const std::vector<uint8_t> &received() {
        if (thread_.joinable()) thread_.join();
        return call;
    }
    uint16_t port;

   private:
    std::vector<uint8_t> reply_for(const std::vector<uint8_t> &in) {
        std::vector<uint8_t> out;
        rpc_msg_word(out, pmap_word(in, 0));
        for (uint32_t w : {1u, 0u, 0u, 0u, status_}) rpc_msg_word(out, w);
        out.insert(out.end(), results_.begin(), results_.end());
        return out;
    }
    void serve() {
        if (protocol_ == RPC_UDP) {
            uint8_t in[9000];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(sock_, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n <= 0) return;
            call.assign(in, in + n);
            auto out = reply_for(call);
            sendto(sock_, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
            return;
        }
        sock_t c = accept(sock_, nullptr, nullptr);
        call = pmap_tcp_recv(c, 3000);
        auto out = reply_for(call);
        pmap_tcp_send(c, out, {8, uint32_t(out.size()) - 8});
        sock_close(c);
    }
    uint16_t protocol_;
    uint32_t status_;
    std::vector<uint8_t> results_;
    std::vector<uint8_t> call;
    sock_t sock_;
    std::thread thread_;
};

std::vector<uint8_t> words(const std::vector<uint32_t> &ws) {
    std::vector<uint8_t> out;
    for (uint32_t w : ws) rpc_msg_word(out, w);
    return out;
}

void add_string(std::vector<uint8_t> &out, const std::string &s) {
    rpc_msg_word(out, uint32_t(s.size()));
    rpc_msg_opaque(out, s.data(), uint32_t(s.size()));
}

// A client transport holding `reply` as if it had been received for `xid`.
struct received {
    uint8_t buffer[4 + 256];
    xprt xp;
    received(uint32_t xid, const std::vector<uint32_t> &reply) {
        clnt_xprt_init(&xp, buffer, 256);
        xp.xid = xid;
        auto bytes = words(reply);
        memcpy(xp.msg, bytes.data(), bytes.size());
        xp.count = int32_t(bytes.size());
    }
};

TEST(ClntCall, HeaderTakesConsecutiveIdsStartingFromTheClock) {
    uint8_t buffer[4 + 100];
    xprt xp;
    clnt_xprt_init(&xp, buffer, 100);
    uint32_t now = uint32_t(time(nullptr)) & 0xFFFF;
    ASSERT_EQ(clnt_call_header(&xp, 100000, 2, 4), 40u);
    // This is the process's first client call (the first test of the file).
    EXPECT_LE((xp.xid - now) & 0xFFFF, 1u) << "clock seconds modulo 65536";
    std::vector<uint8_t> header(xp.msg, xp.msg + 40);
    EXPECT_EQ(header, words({xp.xid, 0, 2, 100000, 2, 4, 0, 0, 0, 0}));
    uint32_t first = xp.xid;
    clnt_call_header(&xp, 1, 2, 3);
    EXPECT_EQ(xp.xid, first + 1);
    EXPECT_EQ(xp.count, 40);
}

TEST(ClntCall, ReplyTable) {
    const uint32_t X = 77;
    struct row {
        std::vector<uint32_t> reply;
        int32_t expect;
    } rows[] = {
        {{X, 1, 0, 0}, CLNT_SHORT},
        {{X + 1, 1, 0, 0, 0, 0}, CLNT_BAD_XID},
        {{X, 0, 0, 0, 0, 0}, CLNT_NOT_REPLY},
        {{X, 1, 1, 0, 2, 2}, CLNT_RPC_MISMATCH},
        {{X, 1, 1, 1, 5}, CLNT_AUTH_ERROR},
        {{X, 1, 0, 0, 0, 2, 2, 2}, CLNT_PROG_MISMATCH},
        {{X, 1, 0, 0, 0, 1}, CLNT_PROG_UNAVAIL},
        {{X, 1, 0, 0, 0, 3}, CLNT_PROC_UNAVAIL},
        {{X, 1, 0, 0, 0, 4}, CLNT_SYSTEM_ERR},
        {{X, 1, 0, 0, 0}, CLNT_SHORT},
        {{X, 1, 0, 0, 0, 0}, 24},
        {{X, 1, 0, 0, 0, 0, 1}, 28},
    };
    for (const row &r : rows) {
        received in(X, r.reply);
        EXPECT_EQ(clnt_check_reply(&in.xp), r.expect) << "reply of " << r.reply.size() << " words";
    }
}

TEST(ClntCall, DisplayFormOfPaths) {
    struct row {
        const char *in;
        uint32_t lowercase;
        const char *out;
    } rows[] = {
        {"/C/data", 1, "c:\\data"},
        {"/C/data", 0, "C:\\data"},
        {"/c", 1, "c:\\"},
        {"/c/a/b", 0, "c:\\a\\b"},
        {"//srv/share/x", 1, "\\\\srv\\share\\x"},
        {"/home/x", 1, "/home\\x"},
        {"c:\\already", 1, "c:\\already"},
        {"/", 1, "/"},
        {"/1/x", 1, "/1\\x"},
    };
    uint32_t old_lower = config.lowercase, old_charset = config.charset;
    config.charset = 0;
    for (const row &r : rows) {
        char path[64];
        snprintf(path, sizeof path, "%s", r.in);
        config.lowercase = r.lowercase;
        clnt_display_path(path, sizeof path);
        EXPECT_STREQ(path, r.out) << r.in;
    }
    // UTF-8 names are shown in the code page: e-acute becomes 0xE9 in 1252.
    config.charset = 2;
    config.codepage = 1252;
    config.lowercase = 1;
    char path[64] = "/C/caf\xC3\xA9";
    clnt_display_path(path, sizeof path);
    EXPECT_STREQ(path, "c:\\caf\xE9");
    config.lowercase = old_lower;
    config.charset = old_charset;
}

TEST(ClntCall, LocalAddresses) {
    EXPECT_TRUE(is_local_address(htonl(INADDR_LOOPBACK)));
    EXPECT_FALSE(is_local_address(inet_addr("192.0.2.7")));
    char name[256];
    ASSERT_EQ(gethostname(name, sizeof name), 0);
    hostent *h = gethostbyname(name);
    if (h && h->h_length == 4) {
        uint32_t addr;
        memcpy(&addr, h->h_addr_list[0], 4);
        EXPECT_TRUE(is_local_address(addr)) << name;
    }
}

// Queries against fake services; the portmapper's port 111 needs a network
// namespace of our own.
class ClntQuery : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { ns_ok_ = pmap_netns_enter(); }
    void SetUp() override {
        if (!ns_ok_) GTEST_SKIP() << "no network namespace";
        old_port_ = config.mount_port;
        config.charset = 0;
        config.lowercase = 1;
    }
    void TearDown() override { config.mount_port = old_port_; }
    static bool ns_ok_;
    uint16_t old_port_ = 0;
};
bool ClntQuery::ns_ok_ = false;

TEST_F(ClntQuery, SetWithoutPortmapperTimesOutAfterTwoSeconds) {
    pmap_log log;
    auto start = clock_type::now();
    EXPECT_FALSE(pmap_set_unset(100005, 1, 17, 1058));
    auto waited = clock_type::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1950));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(log.text(), "RPC receive timeout\n");
}

TEST_F(ClntQuery, SetUnsetSendsTheMappingAndReadsTheBoolean) {
    {
        fake_server pm(RPC_UDP, 111, 0, words({1}));
        EXPECT_TRUE(pmap_set_unset(100005, 3, 6, 1058));
        auto w = rpc_msg_words(pm.received());
        ASSERT_EQ(w.size(), 14u);
        EXPECT_EQ(w[5], 1u) << "SET";
        EXPECT_EQ(std::vector<uint32_t>(w.begin() + 10, w.end()),
                  (std::vector<uint32_t>{100005, 3, 6, 1058}));
    }
    {
        fake_server pm(RPC_UDP, 111, 0, words({0}));
        xprt dummy{};
        dummy.port = 2049;
        rpc_pmap_call = clnt_pmap_call;
        EXPECT_FALSE(rpc_register(&dummy, 100003, 7, pmap_test_program, RPC_UDP))
            << "a refused SET fails the registration";
        rpc_pmap_call = nullptr;
        rpc_unregister(100003, 7, RPC_UDP);
    }
    {
        fake_server pm(RPC_UDP, 111, 0, words({1, 1}));  // one word too many
        EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
        EXPECT_EQ(pmap_word(pm.received(), 5), 2u) << "UNSET";
    }
}

TEST_F(ClntQuery, PmapDumpOverUdpAndTcp) {
    auto body = words({1, 100000, 2, 6, 111, 1, 100005, 1, 17, 1058, 0});
    for (uint16_t prot : {RPC_UDP, RPC_TCP}) {
        fake_server pm(prot, 111, 0, body);
        std::vector<std::vector<uint32_t>> got;
        auto add = [](void *ctx, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
            static_cast<std::vector<std::vector<uint32_t>> *>(ctx)->push_back({a, b, c, d});
        };
        EXPECT_TRUE(pmap_dump(prot == RPC_UDP ? 1 : 0, add, &got));
        EXPECT_EQ(got,
                  (std::vector<std::vector<uint32_t>>{{100000, 2, 6, 111}, {100005, 1, 17, 1058}}));
        EXPECT_EQ(pmap_word(pm.received(), 5), 4u);
    }
}

TEST_F(ClntQuery, MountExportsSplitsOptionsFromClients) {
    std::vector<uint8_t> body;
    rpc_msg_word(body, 1);
    add_string(body, "/C/data");
    for (const char *g : {"-readonly", "hostA", "hostB"}) {
        rpc_msg_word(body, 1);
        add_string(body, g);
    }
    rpc_msg_word(body, 0);
    rpc_msg_word(body, 1);
    add_string(body, "/d");
    rpc_msg_word(body, 0);
    rpc_msg_word(body, 0);
    fake_server mnt(RPC_TCP, 0, 0, body);
    config.mount_port = mnt.port;
    std::vector<std::string> rows;
    auto add = [](void *ctx, const char *d, const char *o, const char *c) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(d) + "|" + o + "|" + c);
    };
    EXPECT_TRUE(mount_exports(0, add, &rows));
    EXPECT_EQ(rows, (std::vector<std::string>{"c:\\data|-readonly |hostA hostB ", "d:\\||"}));
    EXPECT_EQ(pmap_word(mnt.received(), 3), 100005u);
    EXPECT_EQ(pmap_word(mnt.received(), 4), 2u);
    EXPECT_EQ(pmap_word(mnt.received(), 5), 5u);
}

TEST_F(ClntQuery, MountDumpStopsAtAStringReachingPastTheReply) {
    std::vector<uint8_t> body;
    rpc_msg_word(body, 1);
    add_string(body, "client1");
    add_string(body, "/C/x");
    rpc_msg_word(body, 1);
    add_string(body, "client2");
    rpc_msg_word(body, 400);  // declared far beyond the datagram
    fake_server mnt(RPC_UDP, 0, 0, body);
    config.mount_port = mnt.port;
    std::vector<std::string> rows;
    auto add = [](void *ctx, const char *h, const char *d) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(h) + "|" + d);
    };
    EXPECT_TRUE(mount_dump(1, add, &rows));
    EXPECT_EQ(rows, (std::vector<std::string>{"client1|c:\\x"}));
}

TEST_F(ClntQuery, RefusedQueriesAndMissingServices) {
    pmap_log log;
    {
        fake_server mnt(RPC_UDP, 0, 3, {});
        config.mount_port = mnt.port;
        EXPECT_FALSE(mount_dump(
            1, [](void *, const char *, const char *) {}, nullptr));
    }
    EXPECT_EQ(log.text(), "RPC request rejected\n");
    // Nothing listens on the TCP port: the connection is refused at once.
    config.mount_port = 9;
    EXPECT_FALSE(mount_exports(
        0, [](void *, const char *, const char *, const char *) {}, nullptr));
    EXPECT_EQ(log.text(), "RPC request rejected\nRPC open failed\n");
}

}  // namespace
