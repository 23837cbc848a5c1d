// Client calls: the judgement of replies, SET and UNSET
// through the portmapper, and a query whose reply claims more than it holds.
#include "rpc/clnt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "support/config_guard.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"

namespace {

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
        {{X, 1, 1, 1, 5}, CLNT_AUTH_ERROR},
        {{X, 1, 0, 0, 0, 2, 2, 2}, CLNT_PROG_MISMATCH},
        {{X, 1, 0, 0, 0, 1}, CLNT_PROG_UNAVAIL},
        {{X, 1, 0, 0, 0, 3}, CLNT_PROC_UNAVAIL},
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

// Fake services; port 111 is free in the test's own network namespace.
class ClntQuery : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
    }
    config_guard keep;
};

TEST_F(ClntQuery, SetUnsetSendsTheMappingAndReadsTheBoolean) {
    {
        rpc_fake pm(111, 0, rpc_msg_bytes({1}));
        EXPECT_TRUE(pmap_set_unset(100005, 3, 6, 1058));
        rpc_words w = rpc_msg_words(pm.last_call());
        EXPECT_EQ(rpc_words(w.begin() + 1, w.end()),
                  (rpc_words{0, 2, 100000, 2, 1, 0, 0, 0, 0, 100005, 3, 6, 1058}))
            << "SET, AUTH_NULL, mapping";
    }
    rpc_fake pm(111, 0, rpc_msg_bytes({1, 1}));  // one word too many
    EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
    EXPECT_EQ(rpc_msg_word_at(pm.last_call(), 5), 2u) << "UNSET";
}

TEST_F(ClntQuery, ListsStopAtAStringPastTheReplyAndFailuresAreLogged) {
    config.charset = 0;
    config.lowercase = 1;
    log_capture log;
    auto add = [](void *ctx, const char *h, const char *d) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(h) + "|" + d);
    };
    {
        // The second entry declares a directory far beyond the datagram.
        rpc_bytes body = rpc_msg_bytes({1, 7});
        rpc_msg_opaque(body, "client1", 7);
        rpc_msg_word(body, 4);
        rpc_msg_opaque(body, "/C/x", 4);
        for (uint32_t w : {1, 1, 0x63000000, 400}) rpc_msg_word(body, w);
        rpc_fake mnt(0, 0, body);
        config.mount_port = mnt.port;
        std::vector<std::string> rows;
        EXPECT_TRUE(mount_dump(1, add, &rows));
        EXPECT_EQ(rows, (std::vector<std::string>{"client1|c:\\x"}));
    }
    {
        rpc_fake mnt(0, 3, {});
        config.mount_port = mnt.port;
        EXPECT_FALSE(mount_dump(1, add, nullptr));
    }
    config.mount_port = 9;  // nothing listens: the TCP connection is refused
    EXPECT_FALSE(mount_exports(
        0, [](void *, const char *, const char *, const char *) {}, nullptr));
    EXPECT_EQ(log.text(), "RPC request rejected\nRPC open failed\n");
}

}  // namespace
