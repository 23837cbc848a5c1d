// The three directory replies on the wire: byte for byte against the RFC
// 1094 and RFC 1813 layouts, the size rules at every "Datasize" a server may
// run with, dircount and TOOSMALL, continuations, and whole calls through
// the procedure flow with the largest verifier a client may send.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/readdir.h"
#include "platform/bytes.h"
#include "rpc/rpc_proc.h"
#include "server/config.h"
#include "support/nfs_tree.h"
#include "support/readdir_reply.h"
#include "support/rpc_msg.h"

namespace {

using bytes = std::vector<uint8_t>;
using strings = std::vector<std::string>;

// Expected bytes, word by word from the RFC layouts.
struct wire {
    bytes b;
    wire &u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
        return *this;
    }
    wire &u64(uint32_t v) { return u32(0).u32(v); }
    wire &str(const std::string &s) {
        u32(uint32_t(s.size())).b.insert(b.end(), s.begin(), s.end());
        b.resize((b.size() + 3) / 4 * 4);
        return *this;
    }
    wire &raw(const bytes &r) {
        b.insert(b.end(), r.begin(), r.end());
        return *this;
    }
};

class ReaddirWire : public ::testing::Test {
   protected:
    ReaddirWire() { nfs_scan_forget(); }
    uint32_t ino(const std::string &path) { return nfs_tree::inode_of(t.handle(path)); }
    // A directory of `n` files whose names have every length from
    // `shortest` to 243 bytes; answers the children in list order.
    strings make_mixed(const std::string &dir, int n, int shortest) {
        t.make(dir + "/");
        for (int i = 0; i < n; i++)
            t.make(dir + "/" + std::to_string(1000 + i) +
                   std::string(shortest - 4 + (i * 37) % (244 - shortest), 'x'));
        config.datasize = 65535;
        strings names = dir_list_all(DIR_V2, t.handle("c:\\" + dir).data(), 0).names();
        return strings(names.begin() + 2, names.end());
    }
    nfs_tree t;
};

TEST_F(ReaddirWire, EachReplyByteForByte) {
    t.make("d/");
    t.make("d/a", "12345");
    t.make("d/bcdef");
    nfs_fh d = t.handle("c:\\d");
    uint32_t dot = ino("c:\\d"), dotdot = ino("c:\\"), a = ino("c:\\d\\a"), b = ino("c:\\d\\bcdef");
    wire v2;
    v2.u32(0).u32(1).u32(dot).str(".").u32(1).u32(1).u32(dotdot).str("..").u32(2);
    v2.u32(1).u32(a).str("a").u32(3).u32(1).u32(b).str("bcdef").u32(4).u32(0).u32(1);
    EXPECT_EQ(dir_bytes(DIR_V2, d.data(), 0, 8192), v2.b);
    EXPECT_EQ(dir_bytes(DIR_V2, d.data(), 3, 8192), wire().u32(0).u32(1).u32(b).str("bcdef").u32(4).u32(0).u32(1).b);

    // Version 3: the directory's post_op_attr, a zero verifier, 64-bit ids
    // and cookies. The attributes: a directory of mode 0755 (umask 022,
    // permission bits only) owned by the caller (500, 100), fileid its inode
    // number, mtime that of the disk.
    struct stat st;
    ASSERT_EQ(stat(t.host("d").c_str(), &st), 0);
    bytes v3 = dir_bytes(DIR_V3, d.data(), 0, 8192);
    ASSERT_EQ(v3.size(), 4u + 88 + 8 + 3 * 28 + 32 + 8);
    const uint32_t head[] = {0, 1, 2, 0755, 2, 500, 100, 0, 4096, 0, 4096, 0, 0};
    for (uint32_t i = 0; i < 13; i++) EXPECT_EQ(load_be32(&v3[4 * i]), head[i]) << "word " << i;
    EXPECT_EQ(load_be32(&v3[8 + 4 * 13]), 0u);
    EXPECT_EQ(load_be32(&v3[8 + 4 * 14]), dot);
    EXPECT_EQ(load_be32(&v3[8 + 4 * 17]), uint32_t(st.st_mtime));
    wire rest;
    rest.u32(0).u32(0).u32(1).u64(dot).str(".").u64(1).u32(1).u64(dotdot).str("..").u64(2);
    rest.u32(1).u64(a).str("a").u64(3).u32(1).u64(b).str("bcdef").u64(4).u32(0).u32(1);
    EXPECT_EQ(bytes(v3.begin() + 92, v3.end()), rest.b);

    // READDIRPLUS: each entry with its attributes and its 16-byte handle:
    // tag 16, export id, inode, check, little-endian.
    dir_reply r = dir_request(DIR_PLUS, d.data(), 0, 8192, 8192);
    ASSERT_EQ(r.error, "");
    uint32_t id = t.env.entries()[0]->export_id;
    const struct {
        uint32_t inode, type, mode, size;
    } want[] = {{dot, 2, 0755, 4096}, {dotdot, 2, 0755, 4096}, {a, 1, 0644, 5}, {b, 1, 0644, 0}};
    ASSERT_EQ(r.entries.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        const dir_entry &e = r.entries[i];
        wire fh;
        for (uint32_t v : {16u, id, want[i].inode, id + want[i].inode}) fh.u32(__builtin_bswap32(v));
        EXPECT_EQ(e.fh, fh.b) << e.name;
        ASSERT_EQ(e.attr.size(), 21u) << e.name;
        EXPECT_EQ((strings{".", "..", "a", "bcdef"})[i], e.name);
        EXPECT_EQ(e.fileid, want[i].inode);
        EXPECT_EQ((std::vector<uint32_t>{e.attr[0], e.attr[1], e.attr[3], e.attr[6], e.attr[14]}),
                  (std::vector<uint32_t>{want[i].type, want[i].mode, 500, want[i].size, want[i].inode}));
    }
}

// The size rule of a cookie-0 reply walked on its bytes (the sweep below
// checks 130,000 replies): ".", ".." and the children in order with their
// cookies, every child written passed w + n + entry < limit, the one after
// the last did not, eof only after the last child, and the reply within
// max(limit, 164) + 8 bytes. "" when all holds.
std::string sweep_check(bool v3, const uint8_t *b, uint32_t n, uint32_t limit, const strings &kids) {
    auto word = [&](uint32_t at) { return at + 4 <= n ? load_be32(b + at) : 0xDEADu; };
    if (n > std::max(limit, 164u) + 8) return "longer than the limit";
    uint32_t at = v3 ? 100 : 4, entry = v3 ? 32 : 24, width = v3 ? 8 : 4;
    for (size_t i = 0;; i++) {
        std::string want = i == 0 ? "." : i == 1 ? ".." : i - 2 < kids.size() ? kids[i - 2] : "";
        bool fits = at + want.size() + entry < limit;
        if (word(at) == 0) {
            bool eof = word(at + 4) == 1;
            if (at + 8 != n || eof != (i == kids.size() + 2)) return "wrong end or eof";
            return !eof && fits ? "stopped although entry " + std::to_string(i) + " fits" : "";
        }
        if (word(at) != 1 || (i >= 2 && !fits)) return "entry " + std::to_string(i) + " too large";
        uint32_t len = word(at + 4 + width), next = at + 8 + width + (len + 3) / 4 * 4 + width;
        if (len != want.size() || memcmp(b + at + 8 + width, want.data(), len) != 0 ||
            word(next - 4) != i + 1)
            return "entry " + std::to_string(i) + " is not " + want;
        at = next;
    }
}

// The list record of a cookie-0 request with the directory's attributes
// given, so that the sweeps do not read them 65,000 times.
nfs_dirlist cookie0_list(const nfs_fh &fh, uint32_t dircount) {
    nfs_dirlist l{};
    l.dir = nfs_tree::inode_of(fh);
    l.export_id = load_le32(&fh[4]);
    l.first = inode_child_at(l.dir, 0);
    l.count = nfs_dir_limit(0);
    l.dircount = dircount ? dircount : l.count;
    l.dir_attr_ok = 1;
    l.cred.uid = 500;
    return l;
}

// Every size in the plain build; a sanitizer build, ten times slower,
// checks every seventh.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t SWEEP_STEP = 7;
#else
constexpr uint32_t SWEEP_STEP = 1;
#endif

TEST_F(ReaddirWire, EveryDatasizeKeepsEachReplyWithinItsLimits) {
    // Long names keep the entries per reply, and the time, down.
    strings kids = make_mixed("big", 300, 100);
    nfs_fh h = t.handle("c:\\big");
    bytes buf(70000);
    for (uint32_t datasize = 256; datasize <= 65535; datasize += SWEEP_STEP) {
        config.datasize = datasize;
        nfs_dirlist l = cookie0_list(h, 0);
        for (bool v3 : {false, true}) {
            uint32_t n = (v3 ? xdr_readdir3res : xdr_readdirres)(buf.data(), &l);
            ASSERT_EQ(sweep_check(v3, buf.data(), n, l.count, kids), "")
                << (v3 ? "v3" : "v2") << " Datasize " << datasize;
        }
    }

    // READDIRPLUS reads attributes from the disk for every entry: every
    // size up to 1024, a stride beyond, and dircount from 0 to 3000. Each
    // entry written passed both tests (dircount counting no attributes or
    // handles, the directory's included), the next one failed one of them.
    kids = make_mixed("plus", 200, 4);
    h = t.handle("c:\\plus");
    auto check = [&](uint32_t datasize, uint32_t dircount) {
        config.datasize = datasize;
        nfs_dirlist l = cookie0_list(h, dircount);
        uint32_t n = xdr_readdirplus3res(buf.data(), &l);
        dir_reply r = dir_decode(DIR_PLUS, buf.data(), n);
        ASSERT_EQ(r.error, "");
        ASSERT_LE(n, l.count + 8);
        if (r.status == NFS3ERR_TOOSMALL) {
            ASSERT_LT(l.dircount, 12u + 1 + 32) << "\".\" would have fit";
            return;
        }
        uint32_t attr = 88;
        for (size_t i = 0; i <= r.entries.size(); i++) {
            if (i == r.entries.size() && r.eof) break;
            std::string want = i == 0 ? "." : i == 1 ? ".." : kids.at(i - 2);
            uint32_t w = i < r.entries.size() ? r.entries[i].offset : n - 8, len = uint32_t(want.size());
            bool fits = w + len + 140 < l.count && len + (w - attr) + 32 <= l.dircount;
            ASSERT_EQ(fits, i < r.entries.size()) << datasize << "/" << dircount << " entry " << i;
            if (i < r.entries.size()) {
                ASSERT_EQ(r.entries[i].name, want);
                attr += 4 + (r.entries[i].attr.empty() ? 0 : 84) + 4 + (r.entries[i].fh.empty() ? 0 : 20);
            }
        }
        ASSERT_EQ(r.eof, r.entries.size() == kids.size() + 2);
    };
    for (uint32_t datasize = 256; datasize <= 65535 && !HasFatalFailure();
         datasize += datasize < 1024 ? SWEEP_STEP : 509 * SWEEP_STEP)
        check(datasize, 0);
    for (uint32_t dircount = 0; dircount < 3000 && !HasFatalFailure(); dircount += 31 * SWEEP_STEP)
        check(65535, dircount);
}

TEST_F(ReaddirWire, ListingsEndAndGoOnAsClientsNeed) {
    t.make("d/");
    t.make("d/" + std::string(200, 'n'));
    nfs_fh d = t.handle("c:\\d");
    dir_request(DIR_V2, d.data(), 0, 8192);
    // Not one entry fits: version 3 answers TOOSMALL with the directory's
    // attributes; version 2 has no such status.
    for (dir_form form : {DIR_V3, DIR_PLUS}) {
        dir_reply r = dir_request(form, d.data(), 2, 200);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.status, NFS3ERR_TOOSMALL);
        EXPECT_EQ(r.dir_attr.size(), 21u);
    }
    EXPECT_EQ(dir_request(DIR_PLUS, d.data(), 0, 200).status, NFS3ERR_TOOSMALL);
    dir_reply r = dir_request(DIR_V2, d.data(), 2, 200);
    EXPECT_EQ(r.status, NFS_OK);
    EXPECT_TRUE(r.entries.empty() && !r.eof);

    // A small dircount with a large maxcount: the names are limited, the
    // attributes and handles come on top, and the listing by cookies still
    // gives every name once.
    for (int i = 0; i < 60; i++) t.make("d/name" + std::to_string(100 + i));
    dir_request(DIR_V2, d.data(), 0, 8192);
    nfs_scan_forget();
    dir_reply narrow = dir_request(DIR_PLUS, d.data(), 0, 65535, 1024);
    ASSERT_FALSE(narrow.eof);
    EXPECT_GT(narrow.length, 1024u + 8 * 112);
    EXPECT_EQ(dir_list_all(DIR_PLUS, d.data(), 65535, 1024).names(),
              dir_list_all(DIR_PLUS, d.data(), 65535, 65535).names());

    // A continuation resumes after the last entry sent even when a record
    // before it went away; by position alone it would skip one.
    config.datasize = 8192;
    dir_reply first = dir_request(DIR_V3, d.data(), 0, 400);
    ASSERT_FALSE(first.eof);
    uint32_t next = uint32_t(first.entries.back().cookie);
    ASSERT_TRUE(inode_remove(ino("c:\\d\\name100"), false));
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 2));
    nfs_scan_forget();
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 1));
}

// ---- Whole calls ---------------------------------------------------------

rpc_proc rows[18];
const rpc_program program{rows, 18, nullptr, nullptr};
void serve(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &program);
}

TEST_F(ReaddirWire, WholeCallsFitTheBufferWithTheLargestVerifier) {
    for (uint32_t i = 0; i < 18; i++) rows[i] = rpc_proc{i, "", nullptr, 0, nullptr, nullptr, 0, "", nullptr, nullptr, 0};
    rows[16] = {16, "READDIR", nfs3_readdir_decode, sizeof(nfs_readdir_args), nfs3_readdir_run,
                xdr_readdir3res, sizeof(nfs_dirlist), "nfs3_readdir: cannot read args\n", nullptr, nullptr, 0};
    rows[17] = {17, "READDIRPLUS", nfs3_readdirplus_decode, sizeof(nfs_readdir_args), nfs3_readdir_run,
                xdr_readdirplus3res, sizeof(nfs_dirlist), "nfs3_readdirplus: cannot read args\n", nullptr, nullptr, 0};
    ASSERT_TRUE(rpc_program_valid(&program));
    // At "Datasize" 256 with a 400-byte verifier READDIRPLUS has room for
    // names of up to 15 bytes.
    config.datasize = 256;
    t.make("d/");
    for (int i = 0; i < 30; i++) t.make("d/" + std::to_string(i) + std::string(i % 13, 'z'));
    nfs_fh d = t.handle("c:\\d");
    rpc_loop loop;
    ASSERT_TRUE(rpc_loop_open(&loop, config.datasize));
    rpc_pmap_call = nullptr;
    ASSERT_TRUE(rpc_register(loop.xp, 100003, 3, serve, RPC_UDP));
    uint32_t xid = 90;
    auto call = [&](uint32_t proc, const wire &args, uint32_t verf) {
        bytes msg = rpc_msg_call(++xid, 100003, 3, proc, 1, rpc_msg_auth_unix(0, "c", 500, 100, {}), 0,
                                 bytes(verf, 0xAB));
        msg.insert(msg.end(), args.b.begin(), args.b.end());
        return rpc_loop_serve(&loop, msg, nullptr, 1000);
    };
    for (uint32_t proc : {16u, 17u}) {
        strings names;
        for (uint32_t cookie = 0, replies = 0; replies < 100; replies++) {
            wire args;
            args.u32(16).raw(bytes(d.begin(), d.begin() + 16)).u64(cookie).u32(0).u32(0);
            if (proc == 17) args.u32(0);  // dircount
            bytes reply = call(proc, args.u32(0), 400);  // count: "Datasize"
            ASSERT_LE(reply.size(), config.datasize + 512);
            ASSERT_GT(reply.size(), 424u);
            dir_reply r = dir_decode(proc == 16 ? DIR_V3 : DIR_PLUS, &reply[424], uint32_t(reply.size() - 424));
            ASSERT_EQ(r.error, "");
            ASSERT_EQ(r.status, NFS_OK);
            for (const auto &e : r.entries) names.push_back(e.name);
            if (r.eof) break;
            cookie = uint32_t(r.entries.at(r.entries.size() - 1).cookie);
        }
        EXPECT_EQ(names.size(), 32u) << "every entry once, by procedure " << proc;
    }
    // A version 3 handle must have 16 bytes; short arguments are garbage too.
    t.log();
    bytes reply = call(16, wire().u32(32).raw(bytes(d.begin(), d.end())).u64(0).u32(0).u32(0).u32(4096), 0);
    EXPECT_EQ(rpc_msg_words(reply), (std::vector<uint32_t>{xid, 1, 0, 0, 0, RPC_GARBAGE_ARGS}));
    EXPECT_EQ(t.log(), "nfs3_readdir: cannot read args\n");
    reply = call(17, wire().u32(16).raw(bytes(d.begin(), d.begin() + 16)).u64(0), 0);
    EXPECT_EQ(rpc_msg_words(reply).back(), RPC_GARBAGE_ARGS);
    rpc_unregister(100003, 3, RPC_UDP);
    rpc_loop_close(&loop);
}

}  // namespace
