// Client calls: the judgement of replies, and SET and UNSET through the
// portmapper.
#include "rpc/clnt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

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

// A fake portmapper on port 111, free in the test's own network namespace.
TEST(ClntPmap, SetUnsetSendsTheMappingAndReadsTheBoolean) {
    if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
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

}  // namespace
