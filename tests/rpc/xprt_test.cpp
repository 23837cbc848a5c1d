// Transport records: the message area has room for a record mark in front,
// and sizes that would wrap the byte count are refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rpc/rpc.h"
#include "support/log_capture.h"

TEST(Xprt, MessageAreaLayoutAndSizesBeyondTheByteCount) {
    xprt *xp = xprt_create(7, RPC_TCP, 2049, 8192);
    ASSERT_NE(xp, nullptr);
    EXPECT_EQ(xp->size, 8192u + 512);
    EXPECT_EQ(xp->msg, xp->buffer + 4);
    memset(xp->buffer, 0, xp->size + 4);  // the sanitizer build catches a short buffer
    xprt_free(xp);

    log_capture log(1);
    // 0xFFFFFF00 + 512 would wrap to a 256-byte area.
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0xFFFFFF00u), nullptr);
    EXPECT_EQ(xprt_create(7, RPC_UDP, 2049, 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(log.text(), "xprt_create: out of memory\nxprt_create: out of memory\n");
}
