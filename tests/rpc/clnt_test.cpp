// Client calls: the call header and transaction ids, the judgement of
// replies, registration through the portmapper seam,
// the parsers of the settings pages' queries and the display of paths.
#include "rpc/clnt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <variant>

#include "rpc/loop.h"
#include "support/config_guard.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

// A client transport holding `reply` as if it had been received for `xid`.
struct received {
    uint8_t buffer[4 + 256];
    xprt xp;
    received(uint32_t xid, const std::vector<uint32_t> &reply) {
        clnt_xprt_init(&xp, buffer, 256);
        xp.xid = xid;
        auto bytes = rpc_msg_bytes(reply);
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
    EXPECT_EQ(header, rpc_msg_bytes({xp.xid, 0, 2, 100000, 2, 4, 0, 0, 0, 0}));
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
    config_guard keep;
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
}

// Queries against fake services; port 111 is free in the test's own network
// namespace.
class ClntQuery : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
        config.charset = 0;
        config.lowercase = 1;
    }
    config_guard keep;
};

TEST_F(ClntQuery, SetUnsetSendsTheMappingAndReadsTheBoolean) {
    {
        rpc_fake pm(RPC_UDP, 111, 0, rpc_msg_bytes({1}));
        EXPECT_TRUE(pmap_set_unset(100005, 3, 6, 1058));
        auto w = rpc_msg_words(pm.last_call());
        EXPECT_EQ(rpc_words(w.begin() + 5, w.end()), (rpc_words{1, 0, 0, 0, 0, 100005, 3, 6, 1058}))
            << "SET, AUTH_NULL, mapping";
    }
    {
        rpc_fake pm(RPC_UDP, 111, 0, rpc_msg_bytes({0}));
        xprt dummy{};
        dummy.port = 2049;
        toy_registration reg(&dummy, 7, RPC_UDP, clnt_pmap_call);
        EXPECT_FALSE(reg.ok) << "a refused SET fails the registration";
    }
    {
        rpc_fake pm(RPC_UDP, 111, 0, rpc_msg_bytes({1, 1}));  // one word too many
        EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
        EXPECT_EQ(rpc_msg_word_at(pm.last_call(), 5), 2u) << "UNSET";
    }
}

// A reply body built from words and strings (a string is any text item).
std::vector<uint8_t> body(std::initializer_list<std::variant<uint32_t, const char *>> items) {
    std::vector<uint8_t> out;
    for (const auto &item : items) {
        if (const uint32_t *w = std::get_if<uint32_t>(&item)) {
            rpc_msg_word(out, *w);
            continue;
        }
        const char *s = std::get<const char *>(item);
        rpc_msg_word(out, uint32_t(strlen(s)));
        rpc_msg_opaque(out, s, uint32_t(strlen(s)));
    }
    return out;
}

TEST_F(ClntQuery, MountListsAreParsedAndStopAtAStringPastTheReply) {
    {
        rpc_fake mnt(
            RPC_TCP, 0, 0,
            body({1u, "/C/data", 1u, "-readonly", 1u, "hostA", 1u, "hostB", 0u, 1u, "/d", 0u, 0u}));
        config.mount_port = mnt.port;
        std::vector<std::string> rows;
        auto add = [](void *ctx, const char *d, const char *o, const char *c) {
            static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(d) + "|" + o + "|" +
                                                                    c);
        };
        EXPECT_TRUE(mount_exports(0, add, &rows));
        EXPECT_EQ(rows, (std::vector<std::string>{"c:\\data|-readonly |hostA hostB ", "d:\\||"}));
        EXPECT_EQ(rpc_msg_word_at(mnt.last_call(), 3), 100005u);
        EXPECT_EQ(rpc_msg_word_at(mnt.last_call(), 5), 5u) << "EXPORT";
    }
    // The second entry declares a directory far beyond the datagram.
    rpc_fake mnt(RPC_UDP, 0, 0, body({1u, "client1", "/C/x", 1u, "client2", 400u}));
    config.mount_port = mnt.port;
    std::vector<std::string> rows;
    auto add = [](void *ctx, const char *h, const char *d) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(h) + "|" + d);
    };
    EXPECT_TRUE(mount_dump(1, add, &rows));
    EXPECT_EQ(rows, (std::vector<std::string>{"client1|c:\\x"}));
}

TEST_F(ClntQuery, RefusedQueriesAndMissingServices) {
    log_capture log;
    {
        rpc_fake mnt(RPC_UDP, 0, 3, {});
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
