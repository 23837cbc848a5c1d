// Client calls: the judgement of replies, and SET and UNSET through the
// portmapper.
#include "rpc/clnt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/config.h"
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
    auto entry = [&](uint32_t follows, const std::string &text) {
        rpc_msg_word(body, follows);
        rpc_msg_word(body, uint32_t(text.size()));
        rpc_msg_opaque(body, text.data(), uint32_t(text.size()));
    };
    entry(1, "/c/data"), entry(1, "-ro"), entry(1, "host1"), entry(1, "-mapall:7");
    rpc_msg_word(body, 0);
    entry(1, "/d");
    rpc_msg_word(body, 0), rpc_msg_word(body, 0);
    rpc_fake mountd(0, 0, body);
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
        rpc_fake pm(111, 0, rpc_msg_bytes({1}));
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
        rpc_fake pm(111, 0, rpc_msg_bytes({1, 1}));  // one word too many
        EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
        EXPECT_EQ(rpc_msg_word_at(pm.last_call(), 0), xid + 1);
        EXPECT_EQ(rpc_msg_word_at(pm.last_call(), 5), 2u) << "UNSET";
    }
    // A portmapper that never answers: the call gives up after 2 s, and
    // says so.
    rpc_fake pm(111, 0, {}, true);
    log_capture log;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(pmap_set_unset(100005, 3, 6, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
    EXPECT_EQ(log.text(), "RPC receive timeout\n");
}

}  // namespace
