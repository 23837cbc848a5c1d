// The attribute encoders byte for byte: each expected word list is written
// from the layouts of RFC 1094 (fattr) and RFC 1813 (fattr3, wcc_attr,
// pre_op_attr, post_op_attr), field by field, and nothing past it is touched.
#include <gtest/gtest.h>

#include <vector>

#include "nfsd/attr.h"
#include "platform/bytes.h"

namespace {

using words = std::vector<uint32_t>;
constexpr uint8_t CANARY = 0xA5;

// Encodes into a buffer of canaries; answers the big-endian words written.
template <class Encode>
words encoded(Encode encode, uint32_t expect_bytes) {
    std::vector<uint8_t> b(256, CANARY);
    uint32_t n = encode(b.data());
    EXPECT_EQ(n, expect_bytes);
    for (size_t i = n; i < b.size(); i++) EXPECT_EQ(b[i], CANARY) << "byte " << i;
    words w;
    for (uint32_t i = 0; i < n; i += 4) w.push_back(load_be32(b.data() + i));
    return w;
}

// Every field distinct; 16 GiB + 4097 bytes; a character device.
nfs_attr sample() {
    nfs_attr a{};
    a.type = NFCHR;
    a.mode = NFS_IFCHR | 04755;
    a.nlink = 3;
    a.uid = 500;
    a.gid = 100;
    a.size = (1ull << 34) + 4097;
    a.rdev_major = 0x1234;
    a.rdev_minor = 0x5678;
    a.fsid = 0xCAFEF00D;
    a.fileid = 0x40;
    a.atime_sec = 1000000001, a.atime_nsec = 123456789;
    a.mtime_sec = 1000000002, a.mtime_nsec = 999;
    a.ctime_sec = 1000000003, a.ctime_nsec = 1000;
    return a;
}

// fattr3 of sample(): type, mode & 07777, nlink, uid, gid, size, used,
// rdev (specdata1, specdata2), fsid, fileid, atime, mtime, ctime.
const words fattr3_of_sample = {4,          04755,      3,      500,        100,   4,
                                4097,       4,          4097,   0x1234,     0x5678, 0,
                                0xCAFEF00D, 0,          0x40,   1000000001, 123456789,
                                1000000002, 999,        1000000003, 1000};

TEST(AttrXdr, Fattr) {
    nfs_attr a = sample();
    // type, mode, nlink, uid, gid, size (low 32 bits), blocksize, rdev
    // (major << 8 | minor & 255), blocks ((size + 4095) >> 12 in 32 bits),
    // fsid, fileid, atime, mtime, ctime in seconds and microseconds.
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_fattr(o, &a); }, 68),
              (words{4, 024755, 3, 500, 100, 4097, 4096, 0x123478, 2, 0xCAFEF00D, 0x40,
                     1000000001, 123456, 1000000002, 0, 1000000003, 1}));
}

TEST(AttrXdr, FattrSizeAndBlocksIn32Bits) {
    const struct {
        uint64_t size;
        uint32_t wire_size, blocks;
    } cases[] = {{0, 0, 0},       {1, 1, 1},          {4096, 4096, 1},
                 {4097, 4097, 2}, {0xFFFFFFFF, 0xFFFFFFFF, 0},  // + 4095 wraps
                 {5ull << 30, 1u << 30, 1u << 18}};             // 5 GiB: the low bits
    for (const auto &c : cases) {
        nfs_attr a{};
        a.size = c.size;
        words w = encoded([&](uint8_t *o) { return xdr_fattr(o, &a); }, 68);
        EXPECT_EQ(w[5], c.wire_size) << c.size;
        EXPECT_EQ(w[8], c.blocks) << c.size;
    }
}

TEST(AttrXdr, Fattr3AndPostOpAttr) {
    nfs_attr a = sample();
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_fattr3(o, &a); }, 84), fattr3_of_sample);
    words present = {1};
    present.insert(present.end(), fattr3_of_sample.begin(), fattr3_of_sample.end());
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_post_op_attr(o, true, &a); }, 88), present);
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_post_op_attr(o, false, nullptr); }, 4),
              words{0});
}

TEST(AttrXdr, WccAttrAndPreOpAttr) {
    nfs_attr a = sample();
    // size (64 bits), mtime, ctime.
    const words wcc = {4, 4097, 1000000002, 999, 1000000003, 1000};
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_wcc_attr(o, &a); }, 24), wcc);
    words present = {1};
    present.insert(present.end(), wcc.begin(), wcc.end());
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_pre_op_attr(o, true, &a); }, 28), present);
    EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_pre_op_attr(o, false, nullptr); }, 4),
              words{0});
}

TEST(AttrXdr, Fattr3TypesAreValidFtype3) {
    // ftype3 starts at 1: a file of unknown kind (0) goes out as regular.
    for (uint32_t type : {NFNON, NFREG, NFDIR, NFBLK, NFCHR, NFLNK}) {
        nfs_attr a{};
        a.type = type;
        EXPECT_EQ(encoded([&](uint8_t *o) { return xdr_fattr3(o, &a); }, 84)[0],
                  type == NFNON ? 1u : type);
    }
}

}  // namespace
