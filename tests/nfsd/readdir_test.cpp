// Directory listings (small replies are pinned in nfs_proc_test): cookie-0
// scans, their failures, scans from several threads, the size rules at every
// "Datasize", continuations, and the largest verifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "names/nfs_status.h"
#include "nfsd/nfs.h"
#include "nfsd/readdir.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/winerr.h"
#include "support/nfs_rig.h"
#include "support/inode_full.h"
#include "support/readdir_reply.h"

namespace {

using strings = std::vector<std::string>;

class Readdir : public ::testing::Test {
   protected:
    Readdir() { nfs_scan_forget(); }
    ~Readdir() override { win_fail_clear(); }
    uint32_t ino(const std::string &path) { return nfs_tree::inode_of(t.handle(path)); }
    uint32_t child(const std::string &dir, const std::string &name) {
        return inode_find(ino(dir), name.c_str());
    }
    dir_reply list(dir_form form, const std::string &path, uint32_t cookie) {
        return dir_request(form, t.handle(path).data(), cookie, 8192);
    }
    // A cookie-0 listing more than a second after the last scan.
    dir_reply rescan(dir_form form, const std::string &path) {
        nfs_scan_forget();
        return list(form, path, 0);
    }
    void gone(const std::string &rel) { ASSERT_EQ(remove(t.host(rel).c_str()), 0) << rel; }
    nfs_tree t;
};

TEST_F(Readdir, ACookieZeroScanFollowsTheDisk) {
    for (const char *f : {"d/", "d/old/", "d/old/inner", "d/keep", "d/fine"}) t.make(f);
    rescan(DIR_V2, "c:\\d");
    // Within the second after its scan, cookie 0 is served from the table.
    t.make("d/soon");
    EXPECT_EQ(list(DIR_V2, "c:\\d", 0).names(), (strings{".", "..", "fine", "keep", "old"}));
    gone("d/soon");
    rescan(DIR_V2, "c:\\d\\old");
    uint32_t keep = child("c:\\d", "keep");
    for (const char *f : {"d/old/inner", "d/old"}) gone(f);
    // The second refused by the name rules, the third only to ASCII clients.
    for (const char *f : {"d/new", "d/del\x7f", "d/caf\xc3\xa9"}) t.make(f);
    // Continuations never scan: the table's list is served as it is.
    EXPECT_EQ(list(DIR_V2, "c:\\d", 2).names(), (strings{"fine", "keep", "old"}));
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").names(),
              (strings{".", "..", "caf\xc3\xa9", "fine", "keep", "new"}));
    EXPECT_EQ(child("c:\\d", "old"), 0u);
    EXPECT_EQ(child("c:\\d", "keep"), keep) << "a file still there keeps its number";
    config.charset = CHARSET_ASCII;
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").names(), (strings{".", "..", "fine", "keep", "new"}));
    EXPECT_EQ(child("c:\\d", "caf\xc3\xa9"), 0u);
    // An emptied drive root lists "." alone, and that is no error.
    for (const char *f : {"d/new", "d/keep", "d/fine", "d/del\x7f", "d/caf\xc3\xa9", "d"}) gone(f);
    t.log();
    EXPECT_EQ(rescan(DIR_V3, "c:\\").names(), (strings{"."}));
    EXPECT_EQ(child("c:\\", "d"), 0u);
    EXPECT_EQ(t.log(), "");
}

TEST_F(Readdir, FailuresAnswerTheirStatus) {
    for (const char *f : {"d/", "d/a", "d/b", "d/sub/", "d/sub/f"}) t.make(f);
    rescan(DIR_V2, "c:\\d\\sub");
    // The directory is gone from the disk but not yet from the table.
    char path[INODE_PATH_MAX];
    ASSERT_TRUE(inode_path(ino("c:\\d\\sub"), path));
    for (const char *f : {"d/sub/f", "d/sub"}) gone(f);
    t.log();
    EXPECT_EQ(rescan(DIR_V2, "c:\\d\\sub").status, NFSERR_NOENT);
    EXPECT_EQ(t.log(), std::string("nfs_getdir: ") + path + " error 3\n");
    EXPECT_EQ(list(DIR_V2, "c:\\d\\sub", 2).names(), (strings{"f"})) << "no scan, the old list";

    // A listing that breaks off removes nothing and leaves no scan flag.
    gone("d/b");
    uint32_t b = child("c:\\d", "b");
    win_fail_inject("FindNextFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").status, NFSERR_IO);
    ASSERT_TRUE(inode_path(ino("c:\\d"), path));
    EXPECT_EQ(t.log(), std::string("nfs_getdir: ") + path + " error 5\n");
    EXPECT_EQ(child("c:\\d", "b"), b);
    // A listing that ends early stands for names created after it passed
    // their place: their records, and the handles given out, must survive.
    uint32_t a = child("c:\\d", "a");
    win_fail_inject("FindNextFile", ERROR_NO_MORE_FILES, 1);  // lists "." alone
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").status, NFS_OK);
    EXPECT_EQ(child("c:\\d", "a"), a);
    EXPECT_EQ(child("c:\\d", "b"), 0u);
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").names(), (strings{".", "..", "a"}));
}

// When the inode table cannot grow, a listing that could not give every
// name its record answers 28 (NOSPC) instead of a short list with status 0,
// and keeps the records it had; once there is room it lists them all.
TEST_F(Readdir, AListingThatCannotRecordEveryNameFails) {
    t.make("d/");
    for (int i = 0; i < 40; i++) t.make("d/name-" + std::to_string(i));
    uint32_t d = ino("c:\\d");
    for (dir_form form : {DIR_V2, DIR_V3, DIR_PLUS}) {
        inode_full full(10);
        EXPECT_EQ(rescan(form, "c:\\d").status, NFSERR_NOSPC) << form;
    }
    EXPECT_EQ(ino("c:\\d"), d);
    EXPECT_EQ(rescan(DIR_V3, "c:\\d").names().size(), 42u);
}

TEST_F(Readdir, ASecondScannerWaitsForTheFirst) {
    for (const char *f : {"d/", "d/a"}) t.make(f);
    rescan(DIR_V2, "c:\\d");
    uint32_t dir = ino("c:\\d");
    t.make("d/late");
    for (bool shutdown : {false, true}) {
        ASSERT_FALSE(inode_scan_flag(dir, 1));  // a scan "runs"
        std::atomic<uint32_t> status{99};
        std::thread waiter([&] {
            nfs_fh fh = t.handle("c:\\d");
            status = nfs_getdir(test_object(fh, nullptr));
        });
        sleep_ms(300);
        EXPECT_EQ(status.load(), 99u) << "answered while the other scan ran";
        if (shutdown)
            inode_table_shutdown();
        else
            inode_scan_clear(dir);
        waiter.join();
        EXPECT_EQ(status.load(), shutdown ? NFSERR_NXIO : NFS_OK);
        EXPECT_TRUE(shutdown || inode_find(dir, "late") == 0) << "served the other scan's list";
    }
}

// Scanners alternate two directories, which defeats the one-second rule
// (every cookie-0 request scans), while continuations read the list without
// scanning and names come and go: no scan loses or renumbers a record.
TEST_F(Readdir, ConcurrentScansOfOneDirectoryLoseNoRecord) {
    config.datasize = 65535;
    constexpr int FILES = 120;
    for (const char *d : {"a/", "b/"}) t.make(d);
    for (int i = 0; i < 2 * FILES; i++) t.make((i % 2 ? "a/f" : "b/f") + std::to_string(i / 2));
    nfs_fh a = t.handle("c:\\a"), b = t.handle("c:\\b");
    rescan(DIR_V3, "c:\\a");
    std::vector<uint32_t> numbers;
    for (int i = 0; i < FILES; i++) numbers.push_back(child("c:\\a", "f" + std::to_string(i)));
    std::atomic<bool> stop{false};
    std::atomic<int> faults{0};
    auto scanner = [&] {
        for (int round = 0; round < 50; round++) {
            dir_reply r = dir_request(DIR_V3, (round % 2 ? a : b).data(), 0, 0);
            strings n = r.names();
            long stable = std::count_if(n.begin(), n.end(), [](auto &x) { return x[0] == 'f'; });
            faults += !r.error.empty() || r.status != NFS_OK || stable != FILES || !r.eof;
        }
    };
    std::thread reader([&] {
        for (uint32_t cookie = 2; !stop; cookie = 2 + (cookie + 7) % FILES)
            faults += !dir_request(DIR_PLUS, a.data(), cookie, 1024).error.empty();
    });
    std::thread churn([&] {
        for (int i = 0; !stop; i++)
            i % 2 ? (void)remove(t.host("a/tmp" + std::to_string(i % 7)).c_str())
                  : t.make("a/tmp" + std::to_string(i % 7));
    });
    std::thread s1(scanner), s2(scanner), s3(scanner);
    for (std::thread *s : {&s1, &s2, &s3}) s->join();
    stop = true;
    for (std::thread *s : {&reader, &churn}) s->join();
    EXPECT_EQ(faults.load(), 0);
    for (int i = 0; i < FILES; i++)
        EXPECT_EQ(child("c:\\a", "f" + std::to_string(i)), numbers[i]) << i;
}

// A directory of `n` files whose names have every length from `shortest`
// to 243 bytes; answers them in list order.
strings make_mixed(nfs_tree &t, const std::string &dir, int n, int shortest) {
    strings names;
    t.make(dir + "/");
    for (int i = 0; i < n; i++) {
        names.push_back(std::to_string(1000 + i) +
                        std::string(shortest - 4 + (i * 37) % (244 - shortest), 'x'));
        t.make(dir + "/" + names.back());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The size rules of a cookie-0 reply at `datasize` with `dircount` and the
// count 0 ("Datasize"): ".", ".." and the children in order with cookies 1,
// 2, ...; every entry written passed w + n + entry < Datasize (w: where it starts,
// n: its name's length) and, in READDIRPLUS, the bytes up to it without
// attributes and handles, plus n + 32, stay within dircount; the first entry
// not written failed; eof only after the last child. "" when all holds.
std::string limits_check(dir_form form, const nfs_fh &fh, uint32_t dircount, const strings &kids,
                         uint32_t datasize) {
    config.datasize = datasize;
    std::vector<uint8_t> b = dir_bytes(form, fh.data(), 0, 0, dircount);
    dir_reply r = dir_decode(form, b.data(), uint32_t(b.size()));
    if (!r.error.empty()) return r.error;
    uint32_t limit = datasize, dirlimit = dircount ? dircount : limit;
    if (r.status == NFS3ERR_TOOSMALL) return dirlimit < 12 + 1 + 32 ? "" : "\".\" would fit";
    uint32_t entry = form == DIR_V2 ? 24 : form == DIR_V3 ? 32 : 140, attr = 88;
    for (size_t i = 0;; i++) {
        bool written = i < r.entries.size();
        if (!written && r.eof) return i == kids.size() + 2 ? "" : "eof before the end";
        if (i >= kids.size() + 2) return written ? "too many entries" : "no eof at the end";
        std::string want = i == 0 ? "." : i == 1 ? ".." : kids[i - 2], at = " at entry " + want;
        uint32_t w = written ? r.entries[i].offset : r.length - 8, len = uint32_t(want.size());
        bool fits = w + len + entry < limit &&
                    (form != DIR_PLUS || len + (w - attr) + 32 <= dirlimit);
        if (!written) return fits ? "stopped although it fits" + at : "";
        if (!fits && (form == DIR_PLUS || i >= 2)) return "too large" + at;
        const dir_entry &e = r.entries[i];
        if (e.name != want || e.cookie != i + 1) return "another name or cookie" + at;
        attr += 8 + (e.attr ? 84 : 0) + (e.fh ? 20 : 0);
    }
}

// Every size in the plain build; a sanitizer build, ten times slower,
// checks every seventh.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t SWEEP_STEP = 7;
#else
constexpr uint32_t SWEEP_STEP = 1;
#endif

TEST_F(Readdir, EveryDatasizeKeepsEachReplyWithinItsLimits) {
    // Long names keep the entries per reply, and the time, down.
    strings kids = make_mixed(t, "big", 300, 100);
    nfs_fh h = t.handle("c:\\big");
    for (uint32_t size = 256; size <= 65535 && !HasFailure(); size += SWEEP_STEP)
        for (dir_form form : {DIR_V2, DIR_V3})
            EXPECT_EQ(limits_check(form, h, 0, kids, size), "") << form << " at " << size;
    // READDIRPLUS reads attributes from the disk for every entry: every size
    // up to 1024, a stride beyond, and dircount from 0 to 3000.
    kids = make_mixed(t, "plus", 200, 4);
    h = t.handle("c:\\plus");
    for (uint32_t size = 256; size <= 65535 && !HasFailure();
         size += size < 1024 ? SWEEP_STEP : 509 * SWEEP_STEP)
        EXPECT_EQ(limits_check(DIR_PLUS, h, 0, kids, size), "") << size;
    for (uint32_t dircount = 0; dircount < 3000 && !HasFailure(); dircount += 31 * SWEEP_STEP)
        EXPECT_EQ(limits_check(DIR_PLUS, h, dircount, kids, 65535), "") << dircount;
}

// A continuation resumes after the last entry sent even when a record
// before it went away; by position alone it would skip one.
TEST_F(Readdir, AContinuationFollowsTheLastEntrySent) {
    t.make("d/");
    for (int i = 0; i < 60; i++) t.make("d/name" + std::to_string(100 + i));
    nfs_fh d = t.handle("c:\\d");
    dir_reply first = dir_request(DIR_V3, d.data(), 0, 400);
    ASSERT_FALSE(first.eof);
    uint32_t next = uint32_t(first.entries.back().cookie);
    ASSERT_TRUE(inode_remove(child("c:\\d", "name100"), false));
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 2));
    nfs_scan_forget();
    EXPECT_EQ(dir_request(DIR_V3, d.data(), next, 400).entries.at(0).name,
              "name" + std::to_string(100 + next - 1));
}

// At "Datasize" 256 with a verifier of 398 bytes (400 with its padding,
// the most a client may send), echoed in the reply: READ data lands behind
// it in what room is left; READDIR and READDIRPLUS, asked for 0 or more than
// "Datasize", give every entry once by cookies.
TEST(LargestVerifier, ReadDataAndListingsFitTheBufferBehindIt) {
    nfs_scan_forget();
    nfs_rig rig("c:\\ -maproot:0\n", "127.0.0.1", 256);
    std::vector<uint8_t> verf(398, 0xAB), echo = verf;
    echo.resize(400);  // zero-padded
    uint32_t xid = 1;
    // The results behind the echoed verifier.
    auto call = [&](uint32_t proc, const nfs_toks &args) {
        std::vector<uint8_t> reply =
            rig.send(nfs_call_msg(xid++, NFS_PROG, NFS_V3, proc, nfs_arg_bytes(rig, args), verf));
        EXPECT_TRUE(reply.size() > 424 && reply.size() <= 256 + 512) << reply.size();
        if (reply.size() <= 424 || !std::equal(echo.begin(), echo.end(), reply.begin() + 20))
            return std::vector<uint8_t>{};
        return std::vector<uint8_t>(reply.begin() + 424, reply.end());
    };
    rig.tree.make("f", nfs_pattern(300));
    // status, post_op_attr, count, eof, length, data
    std::vector<uint8_t> r = call(6, {fh3("c:\\f"), hyper(0), w(300)});
    uint32_t count = r.size() > 104 ? load_be32(&r[92]) : 0;
    ASSERT_TRUE(count > 0 && count < 256 && r.size() == 104 + (count + 3) / 4 * 4) << count;
    EXPECT_EQ(std::string(r.begin() + 104, r.begin() + 104 + count), nfs_pattern(count));

    rig.tree.make("d/");
    for (int i = 0; i < 30; i++)
        rig.tree.make("d/" + std::to_string(i) + std::string(i % 13, 'z'));
    for (uint32_t proc : {16u, 17u}) {
        size_t names = 0;
        dir_reply d;
        for (uint32_t cookie = 0, replies = 0; !d.eof && replies < 100; replies++) {
            nfs_toks args = {fh3("c:\\d"), hyper(cookie), hyper(0), w(0)};
            if (proc == 17) args.push_back(w(99999));  // maxcount above "Datasize"
            r = call(proc, args);
            d = dir_decode(proc == 16 ? DIR_V3 : DIR_PLUS, r.data(), uint32_t(r.size()));
            ASSERT_TRUE(d.error.empty() && d.status == NFS_OK) << d.error;
            names += d.entries.size();
            cookie = d.entries.empty() ? cookie : uint32_t(d.entries.back().cookie);
        }
        EXPECT_EQ(names, 32u) << "every entry once, by procedure " << proc;
    }
}

}  // namespace
