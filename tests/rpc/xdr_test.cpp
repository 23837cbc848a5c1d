// XDR primitives, byte for byte: the decoders' bounds and the encoders'
// lengths and padding.
#include "rpc/xdr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

// An argument area of `bytes` with the cursor at its start.
struct args_fixture {
    std::vector<uint32_t> store;
    rpc_call call{};
    explicit args_fixture(const std::vector<uint8_t> &bytes, uint32_t arg_len) {
        store.resize(bytes.size() / 4 + 1);
        memcpy(store.data(), bytes.data(), bytes.size());
        call.args = store.data();
        call.arg_len = arg_len;
        call.pos = 0;
    }
    explicit args_fixture(const std::vector<uint8_t> &bytes)
        : args_fixture(bytes, uint32_t(bytes.size())) {}
};

std::vector<uint8_t> bytes(uint8_t *p, uint32_t n) {
    return std::vector<uint8_t>(p, p + n);
}

TEST(XdrDecode, WordsAreReadInHostOrderUntilTheArgumentsEnd) {
    std::vector<uint8_t> m;
    rpc_msg_word(m, 0x01020304);
    rpc_msg_word(m, 7);
    args_fixture a(m, 7);  // the second word is cut short
    uint32_t v = 0;
    ASSERT_TRUE(xdr_get_u32(&a.call, &v));
    EXPECT_EQ(v, 0x01020304u);
    EXPECT_EQ(a.call.pos, 1u);
    EXPECT_FALSE(xdr_get_u32(&a.call, &v));
    EXPECT_EQ(a.call.pos, 1u);
}

TEST(XdrDecode, Fixed32NeedsEightWholeWords) {
    std::vector<uint8_t> m;
    for (int i = 0; i < 36; i++) m.push_back(uint8_t(i));
    args_fixture a(m);
    uint8_t fh[32];
    ASSERT_TRUE(xdr_get_fixed32(&a.call, fh));
    EXPECT_EQ(0, memcmp(fh, m.data(), 32));
    EXPECT_EQ(a.call.pos, 8u);
    EXPECT_FALSE(xdr_get_fixed32(&a.call, fh));  // one word left
    EXPECT_EQ(a.call.pos, 8u);

    args_fixture b(m, 31);
    EXPECT_FALSE(xdr_get_fixed32(&b.call, fh));
}

TEST(XdrDecode, StringsWithinMaximumAndBounds) {
    char dest[9];
    std::vector<uint8_t> m;
    rpc_msg_word(m, 0);  // empty string
    rpc_msg_word(m, 8);
    rpc_msg_opaque(m, "abcdefgh", 8);
    rpc_msg_word(m, 9);
    rpc_msg_opaque(m, "abcdefghi", 9);
    args_fixture a(m);

    EXPECT_EQ(xdr_get_string(&a.call, dest, 8), 1u);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(a.call.pos, 1u);
    EXPECT_EQ(xdr_get_string(&a.call, dest, 8), 9u);
    EXPECT_STREQ(dest, "abcdefgh");
    EXPECT_EQ(a.call.pos, 4u);
    strcpy(dest, "old");
    EXPECT_EQ(xdr_get_string(&a.call, dest, 8), 0u);  // one byte over the maximum
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(a.call.pos, 4u);
}

TEST(XdrDecode, StringCutOffByTheEndOfTheMessage) {
    char dest[64];
    std::vector<uint8_t> m;
    rpc_msg_word(m, 5);
    rpc_msg_opaque(m, "hello", 5);
    args_fixture cut(m, 8);  // length word and 4 of 5 bytes
    strcpy(dest, "old");
    EXPECT_EQ(xdr_get_string(&cut.call, dest, 63), 0u);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(cut.call.pos, 0u);

    // The bytes are there but not the padding: the string decodes, nothing
    // can follow it.
    args_fixture unpadded(m, 9);
    EXPECT_EQ(xdr_get_string(&unpadded.call, dest, 63), 6u);
    EXPECT_STREQ(dest, "hello");
    EXPECT_EQ(unpadded.call.pos, 3u);
    uint32_t v;
    EXPECT_FALSE(xdr_get_u32(&unpadded.call, &v));

    // A huge length word cannot wrap the bound.
    std::vector<uint8_t> huge;
    rpc_msg_word(huge, 0xFFFFFFFC);
    args_fixture h(huge);
    h.call.pos = 0;
    std::vector<char> big(64);
    EXPECT_EQ(xdr_get_string(&h.call, big.data(), 63), 0u);
}

TEST(XdrEncode, WordsArraysAndOpaquesWithZeroPadding) {
    uint8_t out[64];
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(xdr_put_u32(out, 0xDEADBEEF), 4u);
    EXPECT_EQ(bytes(out, 4), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));

    const uint32_t values[] = {1, 0x10203};
    EXPECT_EQ(xdr_put_u32_array(out, values, 2), 12u);
    EXPECT_EQ(bytes(out, 12), (std::vector<uint8_t>{0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 2, 3}));

    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(xdr_put_opaque(out, "abcde", 5), 12u);
    EXPECT_EQ(bytes(out, 13),
              (std::vector<uint8_t>{0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0xAA}));

    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(xdr_put_opaque_max(out, "abcdefgh", 8, 6), 12u);
    EXPECT_EQ(bytes(out, 12),
              (std::vector<uint8_t>{0, 0, 0, 6, 'a', 'b', 'c', 'd', 'e', 'f', 0, 0}));
    EXPECT_EQ(xdr_put_opaque_max(out, "ab", 2, 6), 8u);

    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(xdr_put_fixed(out, "xyz", 3), 4u);
    EXPECT_EQ(bytes(out, 5), (std::vector<uint8_t>{'x', 'y', 'z', 0, 0xAA}));
    EXPECT_EQ(xdr_put_fixed(out, "wxyz", 4), 4u);

    // Data already in place (read straight into the reply) only gets its pad.
    memcpy(out, "12345", 5);
    out[5] = out[6] = out[7] = 0xAA;
    EXPECT_EQ(xdr_put_fixed(out, out, 5), 8u);
    EXPECT_EQ(bytes(out, 8), (std::vector<uint8_t>{'1', '2', '3', '4', '5', 0, 0, 0}));
}

TEST(XdrEncode, PackFormatLetters) {
    uint8_t out[64];
    EXPECT_EQ(xdr_pack(out, "qw", 1u, uint16_t(0x1234)), 8u);
    EXPECT_EQ(bytes(out, 8), (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0x12, 0x34}));

    // 'o': host-order length then bytes; 'O': as received on the wire.
    struct {
        uint32_t len;
        char text[3];
    } host = {3, {'a', 'b', 'c'}};
    const uint8_t wire[] = {0, 0, 0, 2, 'x', 'y'};
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(xdr_pack(out, "o-O q", &host, wire, 9u), 20u);
    EXPECT_EQ(bytes(out, 20), (std::vector<uint8_t>{0, 0, 0,   3,   'a', 'b', 'c', 0, 0, 0,
                                                    0, 2, 'x', 'y', 0,   0,   0,   0, 0, 9}));
}

}  // namespace
