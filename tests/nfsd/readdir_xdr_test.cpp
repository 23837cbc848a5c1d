// The three directory replies on the wire: byte for byte against the RFC
// 1094 and RFC 1813 layouts, the size rules at every "Datasize" a server may
// run with, dircount, TOOSMALL, and whole calls through the procedure flow
// with the largest verifier a client may send.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "fh/fh.h"
#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/readdir.h"
#include "rpc/rpc_proc.h"
#include "platform/bytes.h"
#include "server/config.h"
#include "support/nfs_tree.h"
#include "support/readdir_reply.h"
#include "support/rpc_msg.h"

namespace {

using bytes = std::vector<uint8_t>;
using strings = std::vector<std::string>;

// Expected replies, written word by word from the RFC layouts.
struct wire {
    bytes b;
    wire &u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
        return *this;
    }
    wire &u64(uint32_t v) { return u32(0).u32(v); }
    wire &str(const std::string &s) {
        u32(uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        while (b.size() % 4) b.push_back(0);
        return *this;
    }
    wire &raw(const bytes &r) {
        b.insert(b.end(), r.begin(), r.end());
        return *this;
    }
};

uint32_t word_at(const bytes &b, size_t offset) {
    return uint32_t(b[offset]) << 24 | uint32_t(b[offset + 1]) << 16 | uint32_t(b[offset + 2]) << 8 |
           b[offset + 3];
}

// The 16 bytes of a version 3 handle: tag, export id, inode, check, each
// little-endian.
bytes handle3(uint32_t export_id, uint32_t inode) {
    bytes h;
    for (uint32_t v : {16u, export_id, inode, export_id + inode})
        for (int s = 0; s < 32; s += 8) h.push_back(uint8_t(v >> s));
    return h;
}

class ReaddirWire : public ::testing::Test {
   protected:
    ReaddirWire() { nfs_scan_forget(); }
    uint32_t ino(const std::string &path) { return nfs_tree::inode_of(t.handle(path)); }
    uint32_t export_id() { return t.env.entries()[0]->export_id; }
    nfs_tree t;
};

TEST_F(ReaddirWire, Version2ReaddirresByteForByte) {
    t.make("d/");
    t.make("d/a");
    t.make("d/bcdef");
    nfs_fh d = t.handle("c:\\d");
    wire w;
    w.u32(0);                                                    // NFS_OK
    w.u32(1).u32(ino("c:\\d")).str(".").u32(1);                  // entry "."
    w.u32(1).u32(ino("c:\\")).str("..").u32(2);                  // entry ".."
    w.u32(1).u32(ino("c:\\d\\a")).str("a").u32(3);               // padded by 3
    w.u32(1).u32(ino("c:\\d\\bcdef")).str("bcdef").u32(4);       // two words of name
    w.u32(0).u32(1);                                             // no more entries, eof
    EXPECT_EQ(dir_bytes(DIR_V2, d.data(), 0, 8192), w.b);
    // A continuation: only the entries after cookie 3.
    EXPECT_EQ(dir_bytes(DIR_V2, d.data(), 3, 8192),
              wire().u32(0).u32(1).u32(ino("c:\\d\\bcdef")).str("bcdef").u32(4).u32(0).u32(1).b);
}

TEST_F(ReaddirWire, Version3Readdir3resByteForByte) {
    t.make("d/");
    t.make("d/a");
    nfs_fh d = t.handle("c:\\d");
    bytes got = dir_bytes(DIR_V3, d.data(), 0, 8192, 0, 500, 100);
    ASSERT_EQ(got.size(), 4 + 4 + 84 + 8 + 3 * 28 + 8);
    // post_op_attr of the directory: present, fattr3 of a directory of mode
    // 0755 (umask 022) owned by the caller, fileid its inode number.
    struct stat st;
    ASSERT_EQ(stat(t.host("d").c_str(), &st), 0);
    EXPECT_EQ(word_at(got, 0), 0u);
    EXPECT_EQ(word_at(got, 4), 1u);
    const uint32_t fattr[] = {2, 0755, 2, 500, 100, 0, 4096, 0, 4096, 0, 0};
    for (uint32_t i = 0; i < 11; i++) EXPECT_EQ(word_at(got, 8 + 4 * i), fattr[i]) << "word " << i;
    EXPECT_EQ(word_at(got, 8 + 4 * 11), 0u);  // fsid high word
    EXPECT_EQ(word_at(got, 8 + 4 * 13), 0u);  // fileid high word
    EXPECT_EQ(word_at(got, 8 + 4 * 14), ino("c:\\d"));
    EXPECT_EQ(word_at(got, 8 + 4 * 17), uint32_t(st.st_mtime));
    EXPECT_EQ(word_at(got, 8 + 4 * 18), 0u);  // nanoseconds
    wire rest;
    rest.u32(0).u32(0);  // cookie verifier
    rest.u32(1).u64(ino("c:\\d")).str(".").u64(1);
    rest.u32(1).u64(ino("c:\\")).str("..").u64(2);
    rest.u32(1).u64(ino("c:\\d\\a")).str("a").u64(3);
    rest.u32(0).u32(1);
    EXPECT_EQ(bytes(got.begin() + 92, got.end()), rest.b);
}

TEST_F(ReaddirWire, ReaddirplusEntriesCarryAttributesAndHandles) {
    t.make("d/");
    t.make("d/f", "12345");
    t.make("d/sub/");
    nfs_fh d = t.handle("c:\\d");
    bytes got = dir_bytes(DIR_PLUS, d.data(), 0, 8192, 8192, 500, 100);
    dir_reply r = dir_decode(DIR_PLUS, got.data(), uint32_t(got.size()));
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.names(), (strings{".", "..", "f", "sub"}));
    EXPECT_TRUE(r.eof);
    EXPECT_EQ(r.verf, bytes(8, 0));
    const struct {
        uint32_t inode, type, mode;
        uint64_t size;
    } want[] = {
        {ino("c:\\d"), 2, 0755, 4096},
        {ino("c:\\"), 2, 0755, 4096},  // the export's root
        {ino("c:\\d\\f"), 1, 0644, 5},
        {ino("c:\\d\\sub"), 2, 0755, 4096},
    };
    for (size_t i = 0; i < 4; i++) {
        const dir_entry &e = r.entries[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.fileid, want[i].inode);
        EXPECT_EQ(e.cookie, i + 1);
        EXPECT_TRUE(e.has_fh);
        EXPECT_EQ(e.fh, handle3(export_id(), want[i].inode));
        ASSERT_TRUE(e.has_attr);
        EXPECT_EQ(e.attr[0], want[i].type);
        EXPECT_EQ(e.attr[1], want[i].mode) << "permission bits only";
        EXPECT_EQ(e.attr[3], 500u);
        EXPECT_EQ(uint64_t(e.attr[5]) << 32 | e.attr[6], want[i].size);
        EXPECT_EQ(e.attr[14], want[i].inode);
    }
}

// The children of a directory of `n` files whose names have every length
// from `shortest` to 243 bytes, in list order.
strings make_mixed(nfs_tree &t, const std::string &dir, int n, int shortest = 4) {
    t.make(dir + "/");
    for (int i = 0; i < n; i++) {
        int extra = shortest - 4 + (i * 37) % (244 - shortest);
        std::string name = std::to_string(1000 + i) + std::string(extra, 'x');
        t.make(dir + "/" + name);
    }
    nfs_fh h = t.handle("c:\\" + dir);
    config.datasize = 65535;
    dir_reply all = dir_list_all(DIR_V2, h.data(), 0);
    EXPECT_EQ(all.error, "");
    strings names = all.names();
    return strings(names.begin() + 2, names.end());
}

// The list record of a cookie-0 request, as the handler fills it, but with
// the directory's attributes given, so that a sweep over every "Datasize"
// does not read them 65,000 times.
nfs_dirlist cookie0_list(const nfs_fh &fh, uint32_t count, uint32_t dircount) {
    nfs_dirlist l{};
    l.dir = nfs_tree::inode_of(fh);
    l.export_id = uint32_t(fh[4]) | uint32_t(fh[5]) << 8 | uint32_t(fh[6]) << 16 | uint32_t(fh[7]) << 24;
    l.first = inode_child_at(l.dir, 0);
    l.count = nfs_dir_limit(count);
    l.dircount = dircount ? dircount : l.count;
    l.dir_attr_ok = 1;
    l.dir_attr.type = 2;
    l.cred.uid = 500;
    return l;
}

// Checks one cookie-0 READDIRPLUS reply against its size rules: every entry
// written passed both tests (maxcount, and dircount counting no attributes
// or handles), the one after the last did not, and the reply stays within
// max(limit, 164) + 8 bytes.
void check_plus_rule(const bytes &buf, uint32_t n, const nfs_dirlist &l, const strings &children) {
    dir_form form = DIR_PLUS;
    dir_reply r = dir_decode(form, buf.data(), n);
    ASSERT_EQ(r.error, "") << "limit " << l.count;
    ASSERT_LE(n, std::max(l.count, 164u) + 8) << "limit " << l.count;
    uint32_t attr = 4 + 84;  // the directory's post_op_attr
    for (size_t i = 0; i <= r.entries.size(); i++) {
        bool written = i < r.entries.size();
        if (!written && r.eof) break;
        ASSERT_LT(i, children.size() + 2);
        const std::string &expected = i == 0 ? "." : i == 1 ? ".." : children[i - 2];
        if (written) {
            ASSERT_EQ(r.entries[i].name, expected);
        }
        uint32_t w = written ? r.entries[i].offset : n - 8;
        uint32_t name = uint32_t(expected.size());
        bool fits = w + name + 140 < l.count && name + (w - attr) + 32 <= l.dircount;
        ASSERT_EQ(fits, written) << "limit " << l.count << " entry " << i;
        if (written)
            attr += 4 + (r.entries[i].has_attr ? 84 : 0) + 4 + (r.entries[i].has_fh ? 20 : 0);
    }
    ASSERT_EQ(r.eof, r.entries.size() == children.size() + 2);
}

// The READDIR size rule on the bytes of a cookie-0 reply, walked in place
// (the sweep below makes 130,000 replies): the entries are ".", ".." and
// the children in order, each child passed w + n + entry < limit, the one
// after the last did not, and the reply keeps within max(limit, 164) + 8.
// An empty answer means the reply is right.
std::string sweep_check(bool v3, const uint8_t *b, uint32_t n, uint32_t limit,
                        const strings &children) {
    auto word = [&](uint32_t at) { return at + 4 <= n ? load_be32(b + at) : 0xDEADu; };
    if (n > std::max(limit, 164u) + 8) return "longer than the limit";
    uint32_t at = v3 ? 4 + 88 + 8 : 4, entry = v3 ? 32 : 24, width = v3 ? 8 : 4;
    for (size_t i = 0;; i++) {
        const std::string &want = i == 0 ? "." : i == 1 ? ".." : i - 2 < children.size() ? children[i - 2] : "";
        bool fits = at + want.size() + entry < limit;
        if (word(at) == 0) {  // the list ends here
            bool eof = word(at + 4) == 1;
            if (at + 8 != n) return "bytes after the list";
            if (eof != (i == children.size() + 2)) return "wrong eof at entry " + std::to_string(i);
            if (!eof && fits) return "stopped although entry " + std::to_string(i) + " fits";
            return "";
        }
        if (word(at) != 1) return "bad value_follows";
        if (i >= 2 && !fits) return "entry " + std::to_string(i) + " written although too large";
        uint32_t len = word(at + 4 + width);
        if (len != want.size() || memcmp(b + at + 8 + width, want.data(), len) != 0)
            return "entry " + std::to_string(i) + " is not " + want;
        if (word(at + 8 + width + (len + 3) / 4 * 4 + width - 4) != i + 1) return "bad cookie";
        at += 8 + width + (len + 3) / 4 * 4 + width;
    }
}

TEST_F(ReaddirWire, EveryDatasizeKeepsReaddirWithinItsLimit) {
    // Long names keep the number of entries per reply, and so the time of
    // 130,000 replies, down.
    strings children = make_mixed(t, "big", 300, 100);
    nfs_fh h = t.handle("c:\\big");
    bytes buf(70000);
    for (uint32_t datasize = 256; datasize <= 65535; datasize++) {
        config.datasize = datasize;
        nfs_dirlist l = cookie0_list(h, 0, 0);
        for (bool v3 : {false, true}) {
            uint32_t n = (v3 ? xdr_readdir3res : xdr_readdirres)(buf.data(), &l);
            std::string fault = sweep_check(v3, buf.data(), n, l.count, children);
            ASSERT_EQ(fault, "") << (v3 ? "v3" : "v2") << " Datasize " << datasize;
        }
    }
}

TEST_F(ReaddirWire, ReaddirplusKeepsWithinMaxcountAndDircount) {
    strings children = make_mixed(t, "big", 420);
    nfs_fh h = t.handle("c:\\big");
    bytes buf(70000);
    auto check = [&](uint32_t datasize, uint32_t dircount) {
        config.datasize = datasize;
        nfs_dirlist l = cookie0_list(h, 0, dircount);
        uint32_t n = xdr_readdirplus3res(buf.data(), &l);
        if (n == 4 + 88) {  // TOOSMALL: not even "." fits
            EXPECT_EQ(word_at(buf, 0), NFS3ERR_TOOSMALL);
            EXPECT_LT(l.dircount, 12u + 1 + 32) << "\".\" would have fit";
            return;
        }
        check_plus_rule(buf, n, l, children);
    };
    // Every size up to 1024, then a stride through the rest: each entry
    // reads its attributes from the disk.
    for (uint32_t datasize = 256; datasize <= 65535 && !HasFatalFailure();
         datasize += datasize < 1024 ? 1 : 509)
        check(datasize, 0);
    check(65535, 0);
    for (uint32_t dircount = 0; dircount < 3000 && !HasFatalFailure(); dircount += 31)
        check(65535, dircount);
}

TEST_F(ReaddirWire, ASmallDircountLimitsNamesButNotAttributes) {
    strings children = make_mixed(t, "big", 60);
    nfs_fh h = t.handle("c:\\big");
    config.datasize = 65535;
    dir_reply wide = dir_request(DIR_PLUS, h.data(), 0, 65535, 65535);
    dir_reply narrow = dir_request(DIR_PLUS, h.data(), 0, 65535, 1024);
    ASSERT_TRUE(wide.eof);
    ASSERT_FALSE(narrow.eof);
    // 1024 bytes of names, ids and cookies; attributes and handles come on
    // top of them.
    EXPECT_GT(narrow.length, 1024u);
    uint32_t directory_part = 0;
    for (const dir_entry &e : narrow.entries) directory_part += 4 + 8 + 4 + (e.name.size() + 3) / 4 * 4 + 8;
    EXPECT_LE(directory_part, 1024u);
    // The listing by cookies with that dircount gives every name once.
    dir_reply all = dir_list_all(DIR_PLUS, h.data(), 65535, 1024);
    EXPECT_EQ(all.error, "");
    EXPECT_EQ(all.names(), wide.names());
}

TEST_F(ReaddirWire, Version3AnswersTooSmallWhenNoEntryFits) {
    t.make("d/");
    t.make("d/" + std::string(200, 'n'));
    nfs_fh d = t.handle("c:\\d");
    dir_request(DIR_V2, d.data(), 0, 8192);  // scanned
    for (dir_form form : {DIR_V3, DIR_PLUS}) {
        dir_reply r = dir_request(form, d.data(), 2, 200);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.status, NFS3ERR_TOOSMALL) << form;
        EXPECT_TRUE(r.has_dir_attr);
        EXPECT_EQ(r.length, 4u + 88);
    }
    // Version 2 has no such status: an empty listing, not at its end.
    dir_reply r = dir_request(DIR_V2, d.data(), 2, 200);
    EXPECT_EQ(r.status, NFS_OK);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_FALSE(r.eof);
    // READDIRPLUS tests the dot entries too.
    EXPECT_EQ(dir_request(DIR_PLUS, d.data(), 0, 200).status, NFS3ERR_TOOSMALL);
}

TEST_F(ReaddirWire, AContinuationResumesAfterTheLastEntrySent) {
    t.make("d/");
    for (int i = 0; i < 40; i++) t.make("d/name" + std::to_string(100 + i));
    nfs_fh d = t.handle("c:\\d");
    dir_reply first = dir_request(DIR_V3, d.data(), 0, 400);
    ASSERT_FALSE(first.eof);
    uint32_t next = uint32_t(first.entries.back().cookie);
    // A record before the position goes away: by position alone the
    // listing would skip a name, from the remembered place it does not.
    ASSERT_TRUE(inode_remove(ino("c:\\d\\name100"), false));
    dir_reply rest = dir_request(DIR_V3, d.data(), next, 400);
    ASSERT_FALSE(rest.entries.empty());
    EXPECT_EQ(rest.entries[0].name, "name" + std::to_string(100 + next - 2));
    EXPECT_EQ(rest.entries[0].cookie, next + 1);
    // Without the remembered place, the position counts.
    nfs_scan_forget();
    rest = dir_request(DIR_V3, d.data(), next, 400);
    EXPECT_EQ(rest.entries[0].name, "name" + std::to_string(100 + next - 1));
}

// ---- Whole calls ---------------------------------------------------------

constexpr uint32_t NFS_PROG = 100003;

rpc_proc rows[18];
rpc_program test_program{rows, 18, nullptr, nullptr};

void serve(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &test_program);
}

class ReaddirCall : public ReaddirWire {
   protected:
    void SetUp() override {
        for (uint32_t i = 0; i < 18; i++) {
            rows[i] = rpc_proc{};
            rows[i].number = i;
        }
        rows[16] = {16,      "READDIR",       nfs3_readdir_decode, sizeof(nfs_readdir_args),
                    nfs3_readdir_run, xdr_readdir3res, sizeof(nfs_dirlist),
                    "nfs3_readdir: cannot read args\n", nullptr, nullptr, 0};
        rows[17] = {17,      "READDIRPLUS",   nfs3_readdirplus_decode, sizeof(nfs_readdir_args),
                    nfs3_readdir_run, xdr_readdirplus3res, sizeof(nfs_dirlist),
                    "nfs3_readdirplus: cannot read args\n", nullptr, nullptr, 0};
        ASSERT_TRUE(rpc_program_valid(&test_program));
        config.datasize = 256;
        ASSERT_TRUE(rpc_loop_open(&loop, config.datasize));
        rpc_pmap_call = nullptr;
        ASSERT_TRUE(rpc_register(loop.xp, NFS_PROG, 3, serve, RPC_UDP));
    }
    void TearDown() override {
        rpc_unregister(NFS_PROG, 3, RPC_UDP);
        rpc_loop_close(&loop);
    }
    // A call with an AUTH_UNIX credential and a verifier of `verf` bytes.
    bytes call(uint32_t proc, const wire &args, uint32_t verf = 400) {
        bytes msg = rpc_msg_call(++xid, NFS_PROG, 3, proc, 1,
                                 rpc_msg_auth_unix(0, "client", 500, 100, {}), 0, bytes(verf, 0xAB));
        msg.insert(msg.end(), args.b.begin(), args.b.end());
        return rpc_loop_serve(&loop, msg, nullptr, 1000);
    }
    rpc_loop loop;
    uint32_t xid = 90;
};

TEST_F(ReaddirCall, RepliesFitTheTransportBufferWithTheLargestVerifier) {
    t.make("d/");
    // At "Datasize" 256 with a 400-byte verifier READDIRPLUS has room for
    // names of up to 15 bytes.
    for (int i = 0; i < 30; i++) t.make("d/" + std::to_string(i) + std::string(i % 13, 'z'));
    nfs_fh d = t.handle("c:\\d");
    bytes fh3(d.begin(), d.begin() + 16);
    const uint32_t header = 24 + 400;
    for (uint32_t proc : {16u, 17u}) {
        uint32_t cookie = 0;
        strings names;
        for (int replies = 0; replies < 200; replies++) {
            wire args;
            args.u32(16).raw(fh3).u64(cookie).u32(0).u32(0);
            if (proc == 17) args.u32(0);  // dircount
            args.u32(0);                  // count / maxcount: "Datasize"
            bytes reply = call(proc, args);
            ASSERT_GT(reply.size(), header);
            ASSERT_LE(reply.size(), config.datasize + 512);
            dir_reply r = dir_decode(proc == 16 ? DIR_V3 : DIR_PLUS, reply.data() + header,
                                     uint32_t(reply.size() - header));
            ASSERT_EQ(r.error, "");
            ASSERT_EQ(r.status, NFS_OK);
            for (const auto &e : r.entries) names.push_back(e.name);
            if (r.eof) break;
            ASSERT_FALSE(r.entries.empty());
            cookie = uint32_t(r.entries.back().cookie);
        }
        EXPECT_EQ(names.size(), 32u) << "every entry once, in " << proc;
    }
}

TEST_F(ReaddirCall, AVersion3HandleOfAnotherLengthIsGarbage) {
    t.make("d/");
    nfs_fh d = t.handle("c:\\d");
    wire args;
    args.u32(32).raw(bytes(d.begin(), d.end())).u64(0).u32(0).u32(0).u32(4096);
    bytes reply = call(16, args, 0);
    EXPECT_EQ(rpc_msg_words(reply), (std::vector<uint32_t>{xid, 1, 0, 0, 0, RPC_GARBAGE_ARGS}));
    EXPECT_EQ(t.log(), "nfs3_readdir: cannot read args\n");
    // Short arguments too.
    reply = call(17, wire().u32(16).raw(bytes(d.begin(), d.begin() + 16)).u64(0), 0);
    EXPECT_EQ(rpc_msg_words(reply).back(), RPC_GARBAGE_ARGS);
}

}  // namespace
