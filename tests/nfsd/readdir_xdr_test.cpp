// The three directory replies on the wire: the size rules at every
// "Datasize" a server may run with, dircount and TOOSMALL, continuations,
// and whole calls with the largest verifier a client may send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/nfs.h"
#include "nfsd/readdir.h"
#include "platform/bytes.h"
#include "server/config.h"
#include "support/nfs_rig.h"
#include "support/readdir_reply.h"

namespace {

using strings = std::vector<std::string>;

// A directory of `n` files whose names have every length from `shortest`
// to 243 bytes; answers the children in list order.
strings make_mixed(nfs_tree &t, const std::string &dir, int n, int shortest) {
    t.make(dir + "/");
    for (int i = 0; i < n; i++)
        t.make(dir + "/" + std::to_string(1000 + i) +
               std::string(shortest - 4 + (i * 37) % (244 - shortest), 'x'));
    config.datasize = 65535;
    strings names = dir_list_all(DIR_V2, t.handle("c:\\" + dir).data(), 0).names();
    return strings(names.begin() + 2, names.end());
}

// The size rule of a cookie-0 reply walked on its bytes (the sweep below
// checks 130,000 replies): ".", ".." and the children in order with their
// cookies, every child written passed w + n + entry < limit, the one after
// the last did not, eof only after the last child, and the reply within
// max(limit, 164) + 8 bytes. "" when all holds.
std::string sweep_check(bool v3, const uint8_t *b, uint32_t n, uint32_t limit,
                        const strings &kids) {
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

TEST(ReaddirWire, EveryDatasizeKeepsEachReplyWithinItsLimits) {
    nfs_scan_forget();
    nfs_tree t;
    // Long names keep the entries per reply, and the time, down.
    strings kids = make_mixed(t, "big", 300, 100);
    nfs_fh h = t.handle("c:\\big");
    std::vector<uint8_t> buf(70000);
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
    kids = make_mixed(t, "plus", 200, 4);
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
            uint32_t w = i < r.entries.size() ? r.entries[i].offset : n - 8;
            uint32_t len = uint32_t(want.size());
            bool fits = w + len + 140 < l.count && len + (w - attr) + 32 <= l.dircount;
            ASSERT_EQ(fits, i < r.entries.size()) << datasize << "/" << dircount << " entry " << i;
            if (i == r.entries.size()) break;
            ASSERT_EQ(r.entries[i].name, want);
            attr += 8 + (r.entries[i].attr.empty() ? 0 : 84) + (r.entries[i].fh.empty() ? 0 : 20);
        }
        ASSERT_EQ(r.eof, r.entries.size() == kids.size() + 2);
    };
    for (uint32_t datasize = 256; datasize <= 65535 && !HasFatalFailure();
         datasize += datasize < 1024 ? SWEEP_STEP : 509 * SWEEP_STEP)
        check(datasize, 0);
    for (uint32_t dircount = 0; dircount < 3000 && !HasFatalFailure(); dircount += 31 * SWEEP_STEP)
        check(65535, dircount);
}

TEST(ReaddirWire, ListingsEndAndGoOnAsClientsNeed) {
    nfs_scan_forget();
    nfs_tree t;
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
    ASSERT_TRUE(inode_remove(inode_find(nfs_tree::inode_of(d), "name100"), false));
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 2));
    nfs_scan_forget();
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 1));
}

// At "Datasize" 256 with a 400-byte verifier, READDIRPLUS has room for
// names of up to 15 bytes; by cookies, every entry comes once.
TEST(ReaddirWire, WholeCallsFitTheBufferWithTheLargestVerifier) {
    nfs_scan_forget();
    nfs_rig rig("c:\\ -maproot:0\n", "127.0.0.1", 256);
    rig.tree.make("d/");
    for (int i = 0; i < 30; i++)
        rig.tree.make("d/" + std::to_string(i) + std::string(i % 13, 'z'));
    for (uint32_t proc : {16u, 17u}) {
        strings names;
        for (uint32_t cookie = 0, replies = 0; replies < 100; replies++) {
            nfs_toks args = {fh3("c:\\d"), hyper(cookie), hyper(0), w(0)};
            if (proc == 17) args.push_back(w(0));  // dircount 0, then maxcount 0
            std::vector<uint8_t> msg = rpc_msg_call(replies, NFS_PROG, NFS_V3, proc, 1,
                                                    rpc_msg_auth_unix(0, "c", 500, 100, {}), 0,
                                                    std::vector<uint8_t>(400, 0xAB));
            std::vector<uint8_t> a = nfs_arg_bytes(rig, args);
            msg.insert(msg.end(), a.begin(), a.end());
            std::vector<uint8_t> reply = rig.send(msg, 1000);
            ASSERT_LE(reply.size(), 256u + 512);
            ASSERT_GT(reply.size(), 424u);
            dir_reply r = dir_decode(proc == 16 ? DIR_V3 : DIR_PLUS, &reply[424],
                                     uint32_t(reply.size() - 424));
            ASSERT_EQ(r.error, "");
            ASSERT_EQ(r.status, NFS_OK);
            for (const auto &e : r.entries) names.push_back(e.name);
            if (r.eof) break;
            cookie = uint32_t(r.entries.at(r.entries.size() - 1).cookie);
        }
        EXPECT_EQ(names.size(), 32u) << "every entry once, by procedure " << proc;
    }
}

}  // namespace
