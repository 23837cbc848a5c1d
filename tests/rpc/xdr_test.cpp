// The XDR decoders stay within the received arguments.
#include "rpc/xdr.h"

#include <gtest/gtest.h>

#include <cstring>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

// An argument area holding `m`, of which `arg_len` bytes were received.
struct args_fixture {
    rpc_words store;
    rpc_call call{};
    args_fixture(const rpc_bytes &m, uint32_t arg_len) : store(m.size() / 4 + 1) {
        memcpy(store.data(), m.data(), m.size());
        call.args = store.data();
        call.arg_len = arg_len;
    }
};

TEST(XdrDecode, WordsAndFixed32StopAtTheEndOfTheArguments) {
    rpc_bytes m(40);
    for (int i = 0; i < 40; i++) m[i] = uint8_t(i);
    args_fixture a(m, 39);  // the last word is cut short
    uint8_t fh[32];
    uint32_t v = 0;
    ASSERT_TRUE(xdr_get_u32(&a.call, &v) && xdr_get_fixed32(&a.call, fh));
    EXPECT_EQ(v, 0x00010203u);
    EXPECT_EQ(0, memcmp(fh, m.data() + 4, 32));
    EXPECT_FALSE(xdr_get_u32(&a.call, &v));
    a.call.pos = 1;
    a.call.arg_len = 4 + 31;
    EXPECT_FALSE(xdr_get_fixed32(&a.call, fh));
    EXPECT_EQ(a.call.pos, 1u) << "a failed read does not move";
}

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
        args_fixture a(m, r.arg_len);
        char dest[9] = "old";
        EXPECT_EQ(xdr_get_string(&a.call, dest, 8), r.ret);
        EXPECT_STREQ(dest, r.text);
        EXPECT_EQ(a.call.pos, r.pos);
    }
}

}  // namespace
