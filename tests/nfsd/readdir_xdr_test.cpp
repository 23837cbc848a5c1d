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

// The size rules of a cookie-0 reply: ".", ".." and the children in order
// with cookies 1, 2, ...; every entry written passed w + n + entry < count
// (w: where it starts, n: its name's length) and, in READDIRPLUS, the bytes
// up to it without attributes and handles, plus n + 32, stay within
// dircount; the first entry not written failed; eof only after the last
// child; the reply within max(count, 164) + 8 bytes. "" when all holds.
std::string limits_check(dir_form form, const uint8_t *b, uint32_t n, const nfs_dirlist &l,
                         const strings &kids) {
    dir_reply r = dir_decode(form, b, n);
    if (!r.error.empty()) return r.error;
    if (n > std::max(l.count, 164u) + 8) return "longer than the limit";
    if (r.status == NFS3ERR_TOOSMALL) return l.dircount < 12 + 1 + 32 ? "" : "\".\" would fit";
    uint32_t entry = form == DIR_V2 ? 24 : form == DIR_V3 ? 32 : 140, attr = 88;
    for (size_t i = 0;; i++) {
        bool written = i < r.entries.size();
        if (!written && r.eof) return i == kids.size() + 2 ? "" : "eof before the end";
        if (i >= kids.size() + 2) return written ? "too many entries" : "no eof at the end";
        std::string want = i == 0 ? "." : i == 1 ? ".." : kids[i - 2], at = " at entry " + want;
        uint32_t w = written ? r.entries[i].offset : n - 8, len = uint32_t(want.size());
        bool fits = w + len + entry < l.count &&
                    (form != DIR_PLUS || len + (w - attr) + 32 <= l.dircount);
        if (!written) return fits ? "stopped although it fits" + at : "";
        if (!fits && (form == DIR_PLUS || i >= 2)) return "too large" + at;
        const dir_entry &e = r.entries[i];
        if (e.name != want || e.cookie != i + 1) return "another name or cookie" + at;
        attr += 8 + (e.attr ? 84 : 0) + (e.fh ? 20 : 0);
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
    std::vector<uint8_t> buf(70000);
    strings kids;
    nfs_fh h;
    auto check = [&](dir_form form, uint32_t datasize, uint32_t dircount) {
        config.datasize = datasize;
        nfs_dirlist l = cookie0_list(h, dircount);
        uint32_t n = dir_encode(form, buf.data(), &l);
        ASSERT_EQ(limits_check(form, buf.data(), n, l, kids), "")
            << "form " << form << ", Datasize " << datasize << ", dircount " << dircount;
    };
    // Long names keep the entries per reply, and the time, down.
    kids = make_mixed(t, "big", 300, 100);
    h = t.handle("c:\\big");
    for (uint32_t datasize = 256; datasize <= 65535 && !HasFatalFailure(); datasize += SWEEP_STEP)
        for (dir_form form : {DIR_V2, DIR_V3}) check(form, datasize, 0);
    // READDIRPLUS reads attributes from the disk for every entry: every size
    // up to 1024, a stride beyond, and dircount from 0 to 3000.
    kids = make_mixed(t, "plus", 200, 4);
    h = t.handle("c:\\plus");
    for (uint32_t datasize = 256; datasize <= 65535 && !HasFatalFailure();
         datasize += datasize < 1024 ? SWEEP_STEP : 509 * SWEEP_STEP)
        check(DIR_PLUS, datasize, 0);
    for (uint32_t dircount = 0; dircount < 3000 && !HasFatalFailure(); dircount += 31 * SWEEP_STEP)
        check(DIR_PLUS, 65535, dircount);
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
        EXPECT_TRUE(r.dir_attr);
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
