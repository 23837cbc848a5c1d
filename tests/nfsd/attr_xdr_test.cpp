// The attribute encoders against decoders written here from the layouts of
// RFC 1094 (fattr) and RFC 1813 (fattr3, wcc_attr, pre_op_attr,
// post_op_attr): every field, its position and the total length.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nfsd/attr.h"
#include "platform/bytes.h"

namespace {

// A big-endian reader over encoded bytes.
struct reader {
    const uint8_t *p;
    size_t at = 0;
    uint32_t u32() {
        at += 4;
        return load_be32(p + at - 4);
    }
    uint64_t u64() {
        uint64_t hi = u32();
        return hi << 32 | u32();
    }
};

// RFC 1094 section 2.3.5.
struct fattr2 {
    uint32_t type, mode, nlink, uid, gid, size, blocksize, rdev, blocks, fsid, fileid;
    uint32_t atime_s, atime_us, mtime_s, mtime_us, ctime_s, ctime_us;
};
fattr2 decode_fattr(reader &r) {
    fattr2 f;
    f.type = r.u32();
    f.mode = r.u32();
    f.nlink = r.u32();
    f.uid = r.u32();
    f.gid = r.u32();
    f.size = r.u32();
    f.blocksize = r.u32();
    f.rdev = r.u32();
    f.blocks = r.u32();
    f.fsid = r.u32();
    f.fileid = r.u32();
    f.atime_s = r.u32();
    f.atime_us = r.u32();
    f.mtime_s = r.u32();
    f.mtime_us = r.u32();
    f.ctime_s = r.u32();
    f.ctime_us = r.u32();
    return f;
}

// RFC 1813 section 2.6 (fattr3) and 3.3.1 (wcc_attr).
struct fattr3 {
    uint32_t type, mode, nlink, uid, gid;
    uint64_t size, used;
    uint32_t specdata1, specdata2;
    uint64_t fsid, fileid;
    uint32_t atime_s, atime_ns, mtime_s, mtime_ns, ctime_s, ctime_ns;
};
fattr3 decode_fattr3(reader &r) {
    fattr3 f;
    f.type = r.u32();
    f.mode = r.u32();
    f.nlink = r.u32();
    f.uid = r.u32();
    f.gid = r.u32();
    f.size = r.u64();
    f.used = r.u64();
    f.specdata1 = r.u32();
    f.specdata2 = r.u32();
    f.fsid = r.u64();
    f.fileid = r.u64();
    f.atime_s = r.u32();
    f.atime_ns = r.u32();
    f.mtime_s = r.u32();
    f.mtime_ns = r.u32();
    f.ctime_s = r.u32();
    f.ctime_ns = r.u32();
    return f;
}

struct wcc {
    uint64_t size;
    uint32_t mtime_s, mtime_ns, ctime_s, ctime_ns;
};
wcc decode_wcc(reader &r) {
    wcc w;
    w.size = r.u64();
    w.mtime_s = r.u32();
    w.mtime_ns = r.u32();
    w.ctime_s = r.u32();
    w.ctime_ns = r.u32();
    return w;
}

// A record with a distinct value in every field, a 16 GiB size and a device.
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
    a.atime_sec = 1000000001;
    a.atime_nsec = 123456789;
    a.mtime_sec = 1000000002;
    a.mtime_nsec = 999;
    a.ctime_sec = 1000000003;
    a.ctime_nsec = 1000;
    return a;
}

// Room beyond what is written is left as it was.
constexpr uint8_t CANARY = 0xA5;
std::vector<uint8_t> buffer() {
    return std::vector<uint8_t>(256, CANARY);
}
void expect_untouched_after(const std::vector<uint8_t> &b, size_t n) {
    for (size_t i = n; i < b.size(); i++) ASSERT_EQ(b[i], CANARY) << "byte " << i;
}

TEST(AttrXdr, Fattr) {
    nfs_attr a = sample();
    auto b = buffer();
    ASSERT_EQ(xdr_fattr(b.data(), &a), 68u);
    expect_untouched_after(b, 68);
    reader r{b.data()};
    fattr2 f = decode_fattr(r);
    EXPECT_EQ(f.type, 4u);
    EXPECT_EQ(f.mode, 0024755u);  // with the type bits
    EXPECT_EQ(f.nlink, 3u);
    EXPECT_EQ(f.uid, 500u);
    EXPECT_EQ(f.gid, 100u);
    EXPECT_EQ(f.size, 4097u);  // low 32 bits of 16 GiB + 4097
    EXPECT_EQ(f.blocksize, 4096u);
    EXPECT_EQ(f.rdev, 0x123478u);  // major << 8 | (minor & 255)
    EXPECT_EQ(f.blocks, 2u);       // (4097 + 4095) >> 12
    EXPECT_EQ(f.fsid, 0xCAFEF00Du);
    EXPECT_EQ(f.fileid, 0x40u);
    EXPECT_EQ(f.atime_s, 1000000001u);
    EXPECT_EQ(f.atime_us, 123456u);
    EXPECT_EQ(f.mtime_s, 1000000002u);
    EXPECT_EQ(f.mtime_us, 0u);
    EXPECT_EQ(f.ctime_s, 1000000003u);
    EXPECT_EQ(f.ctime_us, 1u);
}

TEST(AttrXdr, FattrBlocksWrapIn32Bits) {
    const struct {
        uint64_t size;
        uint32_t wire_size, blocks;
    } cases[] = {
        {0, 0, 0},
        {1, 1, 1},
        {4096, 4096, 1},
        {4097, 4097, 2},
        {0xFFFFFFFF, 0xFFFFFFFF, 0},  // size + 4095 wraps in 32 bits
        {0xFFFFF000, 0xFFFFF000, 0xFFFFF},
        {1ull << 32, 0, 0},
    };
    for (const auto &c : cases) {
        nfs_attr a{};
        a.size = c.size;
        auto b = buffer();
        xdr_fattr(b.data(), &a);
        reader r{b.data()};
        fattr2 f = decode_fattr(r);
        EXPECT_EQ(f.size, c.wire_size) << c.size;
        EXPECT_EQ(f.blocks, c.blocks) << c.size;
    }
}

TEST(AttrXdr, Fattr3) {
    nfs_attr a = sample();
    auto b = buffer();
    ASSERT_EQ(xdr_fattr3(b.data(), &a), 84u);
    expect_untouched_after(b, 84);
    reader r{b.data()};
    fattr3 f = decode_fattr3(r);
    EXPECT_EQ(f.type, 4u);
    EXPECT_EQ(f.mode, 04755u);  // permission bits only
    EXPECT_EQ(f.nlink, 3u);
    EXPECT_EQ(f.uid, 500u);
    EXPECT_EQ(f.gid, 100u);
    EXPECT_EQ(f.size, (1ull << 34) + 4097);
    EXPECT_EQ(f.used, f.size);
    EXPECT_EQ(f.specdata1, 0x1234u);
    EXPECT_EQ(f.specdata2, 0x5678u);
    EXPECT_EQ(f.fsid, 0xCAFEF00Du);
    EXPECT_EQ(f.fileid, 0x40u);
    EXPECT_EQ(f.atime_s, 1000000001u);
    EXPECT_EQ(f.atime_ns, 123456789u);
    EXPECT_EQ(f.mtime_s, 1000000002u);
    EXPECT_EQ(f.mtime_ns, 999u);
    EXPECT_EQ(f.ctime_s, 1000000003u);
    EXPECT_EQ(f.ctime_ns, 1000u);
}

TEST(AttrXdr, Fattr3TypesAreValidFtype3) {
    // ftype3 starts at 1: an unreadable kind (0) goes out as a regular file.
    for (uint32_t type : {NFNON, NFREG, NFDIR, NFBLK, NFCHR, NFLNK}) {
        nfs_attr a{};
        a.type = type;
        auto b = buffer();
        xdr_fattr3(b.data(), &a);
        reader r{b.data()};
        EXPECT_EQ(decode_fattr3(r).type, type == NFNON ? 1u : type);
    }
}

TEST(AttrXdr, WccAndOpAttrs) {
    nfs_attr a = sample();
    auto b = buffer();
    ASSERT_EQ(xdr_wcc_attr(b.data(), &a), 24u);
    expect_untouched_after(b, 24);
    reader r{b.data()};
    wcc w = decode_wcc(r);
    EXPECT_EQ(w.size, (1ull << 34) + 4097);
    EXPECT_EQ(w.mtime_s, 1000000002u);
    EXPECT_EQ(w.mtime_ns, 999u);
    EXPECT_EQ(w.ctime_s, 1000000003u);
    EXPECT_EQ(w.ctime_ns, 1000u);

    b = buffer();
    ASSERT_EQ(xdr_pre_op_attr(b.data(), true, &a), 28u);
    expect_untouched_after(b, 28);
    r = reader{b.data()};
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(decode_wcc(r).size, w.size);

    b = buffer();
    ASSERT_EQ(xdr_post_op_attr(b.data(), true, &a), 88u);
    expect_untouched_after(b, 88);
    r = reader{b.data()};
    EXPECT_EQ(r.u32(), 1u);
    fattr3 f = decode_fattr3(r);
    EXPECT_EQ(f.fileid, 0x40u);
    EXPECT_EQ(f.ctime_ns, 1000u);

    // Absent: the word 0, and the record is not read.
    for (auto enc : {xdr_pre_op_attr, xdr_post_op_attr}) {
        b = buffer();
        ASSERT_EQ(enc(b.data(), false, nullptr), 4u);
        expect_untouched_after(b, 4);
        r = reader{b.data()};
        EXPECT_EQ(r.u32(), 0u);
    }
}

TEST(AttrXdr, SpecialFileExampleInBothVersions) {
    // Type 4, major 1, minor 3, mode 0666: rdev 259 in v2, (1, 3) in v3.
    nfs_attr a{};
    a.type = NFCHR;
    a.mode = NFS_IFCHR | 0666;
    a.rdev_major = 1;
    a.rdev_minor = 3;
    auto b = buffer();
    xdr_fattr(b.data(), &a);
    reader r{b.data()};
    fattr2 f2 = decode_fattr(r);
    EXPECT_EQ(f2.rdev, 259u);
    EXPECT_EQ(f2.mode, 0020666u);
    xdr_fattr3(b.data(), &a);
    r = reader{b.data()};
    fattr3 f3 = decode_fattr3(r);
    EXPECT_EQ(f3.specdata1, 1u);
    EXPECT_EQ(f3.specdata2, 3u);
    EXPECT_EQ(f3.mode, 0666u);
}

}  // namespace
