// The XDR string decoder stays within the received arguments and the maximum.
#include "rpc/xdr.h"

#include <gtest/gtest.h>

#include <cstring>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

TEST(XdrDecode, StringsWithinMaximumAndBounds) {
    struct row {
        const char *what;
        uint32_t len;
        const char *bytes;
        uint32_t arg_len, ret, pos;
        const char *text;
    } rows[] = {
        {"empty", 0, "", 4, 1, 1, ""},
        {"at the maximum", 8, "abcdefgh", 12, 9, 3, "abcdefgh"},
        {"one over the maximum", 9, "abcdefghi", 16, 0, 0, ""},
        {"cut by the end", 5, "hello", 8, 0, 0, ""},
        // The bytes are there but not the padding: it decodes, ends the area.
        {"unpadded", 5, "hello", 9, 6, 3, "hello"},
        {"huge length cannot wrap", 0xFFFFFFFC, "", 4, 0, 0, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        rpc_bytes m = rpc_msg_bytes({r.len});
        rpc_msg_opaque(m, r.bytes, uint32_t(strlen(r.bytes)));
        rpc_words area(m.size() / 4 + 1);  // word-aligned, as received
        memcpy(area.data(), m.data(), m.size());
        rpc_call call{};
        call.args = area.data();
        call.arg_len = r.arg_len;
        char dest[9] = "old";
        EXPECT_EQ(xdr_get_string(&call, dest, 8), r.ret);
        EXPECT_STREQ(dest, r.text);
        EXPECT_EQ(call.pos, r.pos);
    }
}

}  // namespace
