// Transport records: the message area has room for a record mark in front,
// and sizes that would wrap the byte count are refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rpc/rpc.h"
#include "server/log.h"

TEST(Xprt, MessageAreaLayoutAndSizesBeyondTheByteCount) {
    xprt *xp = xprt_create(7, RPC_TCP, 2049, 8192);
    ASSERT_NE(xp, nullptr);
    EXPECT_EQ(xp->size, 8192u + 512);
    EXPECT_EQ(xp->msg, xp->buffer + 4);
    memset(xp->buffer, 0, xp->size + 4);  // the sanitizer build catches a short buffer
    xprt_free(xp);

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
