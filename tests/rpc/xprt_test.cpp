// Transport records: the message area's layout and the sizes that cannot be
// served.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rpc/rpc.h"
#include "server/log.h"

TEST(Xprt, MessageAreaHasRoomForTheRecordMarkInFront) {
    xprt *xp = xprt_create(7, RPC_TCP, 2049, 8192);
    ASSERT_NE(xp, nullptr);
    EXPECT_EQ(xp->sock, 7);
    EXPECT_EQ(xp->port, 2049);
    EXPECT_EQ(xp->protocol, RPC_TCP);
    EXPECT_EQ(xp->peer_len, socklen_t(16));
    EXPECT_EQ(xp->size, 8192u + 512);
    EXPECT_EQ(xp->msg, xp->buffer + 4);
    // The whole area is writable: the sanitizer build catches a short buffer.
    memset(xp->buffer, 0, xp->size + 4);
    xprt_free(xp);

    // A listening socket's record has no buffer.
    xp = xprt_create(8, RPC_TCP, 2049, 0);
    ASSERT_NE(xp, nullptr);
    EXPECT_EQ(xp->buffer, nullptr);
    EXPECT_EQ(xp->msg, nullptr);
    EXPECT_EQ(xp->size, 0u);
    xprt_free(xp);
}

TEST(Xprt, SizeBeyondTheByteCountIsRefusedAndLogged) {
    char *text = nullptr;
    size_t len = 0;
    FILE *log = open_memstream(&text, &len);
    log_attach(log, 1);
    // 0xFFFFFF00 + 512 would wrap to a 256-byte area.
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0xFFFFFF00u), nullptr);
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0x7FFFFFFFu), nullptr);
    log_attach(nullptr, 0);
    fclose(log);
    EXPECT_EQ(std::string(text, len), "xprt_create: out of memory\nxprt_create: out of memory\n");
    free(text);
}
