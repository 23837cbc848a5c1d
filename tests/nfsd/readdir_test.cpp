// Directory listings as clients see them: cookies as positions, the cookie-0
// rescan and its one-second rule, what a scan adds and removes, the failures
// of a scan, and scans of one directory from several threads at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/readdir.h"
#include "platform/clock.h"
#include "platform/winerr.h"
#include "server/config.h"
#include "support/nfs_tree.h"
#include "support/readdir_reply.h"

namespace {

using strings = std::vector<std::string>;
using cookies = std::vector<uint64_t>;
const dir_form FORMS[] = {DIR_V2, DIR_V3, DIR_PLUS};

class Readdir : public ::testing::Test {
   protected:
    explicit Readdir(const std::string &exports = "c:\\ -maproot:0\n") : t(exports) {
        nfs_scan_forget();
    }
    ~Readdir() override { win_fail_clear(); }

    nfs_fh fh(const std::string &path) { return t.handle(path); }
    uint32_t ino(const std::string &path) { return nfs_tree::inode_of(t.handle(path)); }
    dir_reply list(dir_form form, const std::string &path, uint32_t cookie, uint32_t count = 8192) {
        nfs_fh h = fh(path);
        return dir_request(form, h.data(), cookie, count, 0);
    }
    // A fresh cookie-0 listing, as after more than a second.
    dir_reply rescan(dir_form form, const std::string &path) {
        nfs_scan_forget();
        return list(form, path, 0);
    }
    static uint32_t find(uint32_t dir, const char *name) { return inode_find(dir, name); }
    void unlink_host(const std::string &rel) { ASSERT_EQ(unlink(t.host(rel).c_str()), 0); }

    nfs_tree t;
};

TEST_F(Readdir, CookiesArePositionsAfterTheDotEntries) {
    for (const char *f : {"dir/", "dir/a", "dir/b", "dir/c", "dir/d"}) t.make(f);
    for (dir_form form : FORMS) {
        SCOPED_TRACE(form);
        dir_reply r = rescan(form, "c:\\dir");
        ASSERT_EQ(r.error, "");
        ASSERT_EQ(r.status, NFS_OK);
        EXPECT_EQ(r.names(), (strings{".", "..", "a", "b", "c", "d"}));
        EXPECT_EQ(r.cookies(), (cookies{1, 2, 3, 4, 5, 6}));
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.entries[0].fileid, ino("c:\\dir"));
        EXPECT_EQ(r.entries[1].fileid, ino("c:\\"));
        EXPECT_EQ(r.entries[4].fileid, ino("c:\\dir\\c"));

        // Cookie 4 is the second child: the listing goes on with the third,
        // numbered 5, also when nothing was remembered for it.
        nfs_scan_forget();
        r = list(form, "c:\\dir", 4);
        EXPECT_EQ(r.names(), (strings{"c", "d"}));
        EXPECT_EQ(r.cookies(), (cookies{5, 6}));
        EXPECT_TRUE(r.eof);

        // Cookie 1 is ".": ".." comes next, then every child.
        r = list(form, "c:\\dir", 1);
        EXPECT_EQ(r.names(), (strings{"..", "a", "b", "c", "d"}));
        EXPECT_EQ(r.cookies(), (cookies{2, 3, 4, 5, 6}));
    }
}

TEST_F(Readdir, ADirectoryWithoutParentRecordHasNoDotDot) {
    t.make("x");
    t.make("y");
    for (dir_form form : FORMS) {
        dir_reply r = rescan(form, "c:\\");
        EXPECT_EQ(r.names(), (strings{".", "x", "y"})) << form;
        EXPECT_EQ(r.cookies(), (cookies{1, 2, 3}));
        r = list(form, "c:\\", 2);
        EXPECT_EQ(r.names(), (strings{"y"}));
        EXPECT_EQ(r.cookies(), (cookies{3}));
        r = list(form, "c:\\", 1);
        EXPECT_EQ(r.names(), (strings{"x", "y"}));
    }
}

TEST_F(Readdir, ACookiePastTheEndIsAnEmptyListingWithEof) {
    t.make("dir/");
    t.make("dir/a");
    rescan(DIR_V2, "c:\\dir");
    for (dir_form form : FORMS)
        for (uint32_t cookie : {4u, 5u, 1000u, 0xFFFFFFFFu}) {
            dir_reply r = list(form, "c:\\dir", cookie);
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(r.status, NFS_OK);
            EXPECT_TRUE(r.entries.empty());
            EXPECT_TRUE(r.eof) << form << " cookie " << cookie;
        }
}

TEST_F(Readdir, CountZeroOrAboveDatasizeMeansDatasize) {
    config.datasize = 512;
    t.make("dir/");
    for (int i = 0; i < 60; i++) t.make("dir/file" + std::to_string(i));
    rescan(DIR_V2, "c:\\dir");
    EXPECT_EQ(nfs_dir_limit(0), 512u);
    EXPECT_EQ(nfs_dir_limit(513), 512u);
    EXPECT_EQ(nfs_dir_limit(300), 300u);
    for (dir_form form : FORMS) {
        dir_reply at_limit = list(form, "c:\\dir", 0, 512);
        ASSERT_FALSE(at_limit.eof);
        for (uint32_t count : {0u, 513u, 100000u}) {
            dir_reply r = list(form, "c:\\dir", 0, count);
            EXPECT_EQ(r.names(), at_limit.names()) << form << " count " << count;
            EXPECT_EQ(r.length, at_limit.length);
        }
        EXPECT_LT(list(form, "c:\\dir", 0, 300).entries.size(), at_limit.entries.size());
    }
}

TEST_F(Readdir, ACookieZeroListingFollowsTheDisk) {
    t.make("dir/");
    t.make("dir/old/");
    t.make("dir/keep");
    t.make("dir/old/inner");
    rescan(DIR_V2, "c:\\dir");
    rescan(DIR_V2, "c:\\dir\\old");
    uint32_t dir = ino("c:\\dir");
    uint32_t keep = find(dir, "keep");
    ASSERT_NE(find(find(dir, "old"), "inner"), 0u);

    ASSERT_EQ(unlink(t.host("dir/old/inner").c_str()), 0);
    ASSERT_EQ(rmdir(t.host("dir/old").c_str()), 0);
    t.make("dir/new");
    // A continuation never scans: the table's list is served as it is.
    EXPECT_EQ(list(DIR_V2, "c:\\dir", 2).names(), (strings{"keep", "old"}));

    EXPECT_EQ(rescan(DIR_V2, "c:\\dir").names(), (strings{".", "..", "keep", "new"}));
    EXPECT_EQ(find(dir, "old"), 0u);
    EXPECT_EQ(find(dir, "keep"), keep) << "a file still there keeps its number";
}

TEST_F(Readdir, NamesTheRulesRefuseAreNeverListed) {
    t.make("dir/");
    t.make("dir/fine");
    t.make("dir/del\x7f");
    t.make("dir/caf\xc3\xa9");
    EXPECT_EQ(rescan(DIR_V3, "c:\\dir").names(), (strings{".", "..", "caf\xc3\xa9", "fine"}));
    config.charset = 0;  // ASCII clients: no byte of 128 and above
    EXPECT_EQ(rescan(DIR_V3, "c:\\dir").names(), (strings{".", "..", "fine"}));
    EXPECT_EQ(find(ino("c:\\dir"), "del\x7f"), 0u);
    EXPECT_EQ(find(ino("c:\\dir"), "caf\xc3\xa9"), 0u);
}

TEST_F(Readdir, ARepeatedCookieZeroWithinASecondDoesNotScan) {
    t.make("dir/");
    t.make("other/");
    t.make("dir/a");
    list(DIR_V3, "c:\\dir", 0);
    uint32_t scanned = tick_count();
    t.make("dir/b");
    sleep_ms(500);
    if (tick_count() - scanned < 1001) {
        EXPECT_EQ(list(DIR_V3, "c:\\dir", 0).names().size(), 3u);
    }
    sleep_ms(600);
    EXPECT_EQ(list(DIR_V3, "c:\\dir", 0).names(), (strings{".", "..", "a", "b"}));

    // Only the last directory is remembered: a scan of another one in
    // between makes the next cookie 0 scan again at once.
    t.make("dir/c");
    list(DIR_V3, "c:\\other", 0);
    EXPECT_EQ(list(DIR_V3, "c:\\dir", 0).names(), (strings{".", "..", "a", "b", "c"}));
}

TEST_F(Readdir, AStaleHandleAnswers70) {
    t.make("dir/");
    t.make("dir/gone/");
    nfs_fh gone = fh("c:\\dir\\gone");
    ASSERT_EQ(rmdir(t.host("dir/gone").c_str()), 0);
    rescan(DIR_V2, "c:\\dir");  // drops the record of "gone"
    nfs_fh bad = fh("c:\\dir");
    bad[12] ^= 1;  // check word
    for (const nfs_fh &h : {gone, bad})
        for (dir_form form : FORMS)
            for (uint32_t cookie : {0u, 3u}) {
                dir_reply r = dir_request(form, h.data(), cookie, 8192);
                EXPECT_EQ(r.error, "");
                EXPECT_EQ(r.status, NFSERR_STALE);
                EXPECT_FALSE(r.has_dir_attr);
                EXPECT_EQ(r.length, form == DIR_V2 ? 4u : 8u);
            }
}

TEST_F(Readdir, ADirectoryGoneFromTheDiskAnswersNoentAndIsLogged) {
    t.make("dir/");
    t.make("dir/sub/");
    t.make("dir/sub/f");
    rescan(DIR_V2, "c:\\dir\\sub");
    t.log();
    ASSERT_EQ(unlink(t.host("dir/sub/f").c_str()), 0);
    ASSERT_EQ(rmdir(t.host("dir/sub").c_str()), 0);
    char path[INODE_PATH_MAX];
    ASSERT_TRUE(inode_path(ino("c:\\dir\\sub"), path));
    nfs_fh sub = fh("c:\\dir\\sub");
    dir_reply r = rescan(DIR_V2, "c:\\dir\\sub");
    EXPECT_EQ(r.status, NFSERR_NOENT);
    EXPECT_EQ(t.log(), std::string("nfs_getdir: ") + path + " error 3\n");
    // Continuations never scan: the table's list still serves them...
    EXPECT_EQ(list(DIR_V2, "c:\\dir\\sub", 2).names(), (strings{"f"}));
    // ...until an attribute read (version 3 replies carry the directory's)
    // finds the directory gone and drops its record.
    r = dir_request(DIR_V3, sub.data(), 2, 8192);
    EXPECT_EQ(r.status, NFS_OK);
    EXPECT_FALSE(r.has_dir_attr);
    EXPECT_EQ(dir_request(DIR_V3, sub.data(), 2, 8192).status, NFSERR_STALE);
}

TEST_F(Readdir, AListingThatBreaksOffRemovesNothing) {
    t.make("dir/");
    t.make("dir/a");
    t.make("dir/b");
    rescan(DIR_V2, "c:\\dir");
    uint32_t dir = ino("c:\\dir");
    uint32_t b = find(dir, "b");
    unlink_host("dir/b");
    t.log();
    win_fail_inject("FindNextFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(rescan(DIR_V2, "c:\\dir").status, NFSERR_IO);
    EXPECT_NE(t.log().find(" error 5\n"), std::string::npos);
    EXPECT_EQ(find(dir, "b"), b);
    // The next complete listing drops it, and a failed one left no flag.
    EXPECT_EQ(rescan(DIR_V2, "c:\\dir").names(), (strings{".", "..", "a"}));
}

TEST_F(Readdir, UnlistedFilesThatExistKeepTheirRecords) {
    // A listing that ends early stands for names created after it passed
    // their place: their records, and the handles given out, must survive.
    t.make("dir/");
    std::map<std::string, uint32_t> before;
    for (int i = 0; i < 150; i++) t.make("dir/f" + std::to_string(i));
    rescan(DIR_V2, "c:\\dir");
    uint32_t dir = ino("c:\\dir");
    for (int i = 0; i < 150; i++) {
        std::string name = "f" + std::to_string(i);
        before[name] = find(dir, name.c_str());
    }
    unlink_host("dir/f7");
    unlink_host("dir/f120");
    win_fail_inject("FindNextFile", ERROR_NO_MORE_FILES, 1);  // only "." listed
    EXPECT_EQ(rescan(DIR_V2, "c:\\dir").status, NFS_OK);
    for (const auto &[name, number] : before)
        if (name == "f7" || name == "f120")
            EXPECT_EQ(find(dir, name.c_str()), 0u) << name;
        else
            EXPECT_EQ(find(dir, name.c_str()), number) << name;
}

TEST_F(Readdir, AnEmptyDriveRootIsAnEmptyListing) {
    t.make("only");
    rescan(DIR_V2, "c:\\");
    uint32_t root = ino("c:\\");
    ASSERT_NE(find(root, "only"), 0u);
    unlink_host("only");
    t.log();
    for (dir_form form : FORMS) {
        dir_reply r = rescan(form, "c:\\");
        EXPECT_EQ(r.status, NFS_OK);
        EXPECT_EQ(r.names(), (strings{"."}));
    }
    EXPECT_EQ(find(root, "only"), 0u);
    EXPECT_EQ(t.log(), "");
}

TEST_F(Readdir, ASecondScannerWaitsForTheFirst) {
    t.make("dir/");
    t.make("dir/a");
    rescan(DIR_V2, "c:\\dir");
    uint32_t dir = ino("c:\\dir");
    export_entry *exp = t.env.entries()[0];
    t.make("dir/late");

    ASSERT_FALSE(inode_scan_flag(dir, 1));  // a scan "runs"
    std::atomic<uint32_t> status{99};
    std::thread waiter([&] { status = nfs_getdir(exp, dir); });
    sleep_ms(200);
    EXPECT_EQ(status.load(), 99u) << "answered while the other scan ran";
    inode_scan_clear(dir);
    waiter.join();
    EXPECT_EQ(status.load(), NFS_OK);
    EXPECT_EQ(find(dir, "late"), 0u) << "the waiter served the other scan's list";
}

TEST_F(Readdir, AWaitingScannerAnswersNxioWhenTheTableShutsDown) {
    t.make("dir/");
    rescan(DIR_V2, "c:\\dir");
    uint32_t dir = ino("c:\\dir");
    export_entry *exp = t.env.entries()[0];
    ASSERT_FALSE(inode_scan_flag(dir, 1));
    std::atomic<uint32_t> status{99};
    std::thread waiter([&] { status = nfs_getdir(exp, dir); });
    sleep_ms(300);
    inode_table_shutdown();
    waiter.join();
    EXPECT_EQ(status.load(), NFSERR_NXIO);
}

class ReaddirLowercase : public Readdir {
   protected:
    ReaddirLowercase() : Readdir("c:\\ -lowercase -maproot:0\n") {}
};

TEST_F(ReaddirLowercase, NewNamesAreStoredInLowerCase) {
    t.make("MiXed.TXT");
    EXPECT_EQ(rescan(DIR_V2, "c:\\").names(), (strings{".", "mixed.txt"}));
}

// ---- Several threads at once -----------------------------------------------

TEST_F(Readdir, ConcurrentScansOfOneDirectoryLoseNoRecord) {
    config.datasize = 65535;
    constexpr int FILES = 120;
    for (const char *d : {"a/", "b/"}) t.make(d);
    for (int i = 0; i < FILES; i++) {
        t.make("a/f" + std::to_string(i));
        t.make("b/g" + std::to_string(i));
    }
    nfs_fh a = fh("c:\\a"), b = fh("c:\\b");
    rescan(DIR_V3, "c:\\a");
    rescan(DIR_V3, "c:\\b");
    uint32_t a_dir = nfs_tree::inode_of(a);
    std::vector<uint32_t> numbers;
    for (int i = 0; i < FILES; i++) numbers.push_back(find(a_dir, ("f" + std::to_string(i)).c_str()));

    std::atomic<bool> stop{false};
    std::atomic<int> faults{0};
    auto scanner = [&] {
        // Alternating directories defeats the one-second rule: every
        // cookie-0 request scans.
        for (int round = 0; round < 25; round++)
            for (const nfs_fh *h : {&a, &b}) {
                dir_reply r = dir_request(DIR_V3, h->data(), 0, 0);
                int stable = 0;
                for (const std::string &name : r.names()) stable += name[0] == 'f' || name[0] == 'g';
                if (!r.error.empty() || r.status != NFS_OK || stable != FILES || !r.eof) faults++;
            }
    };
    auto reader = [&] {
        while (!stop) {
            dir_reply r = dir_list_all(DIR_PLUS, a.data(), 1024);
            if (!r.error.empty()) faults++;
        }
    };
    auto churn = [&] {
        for (int i = 0; !stop; i++) {
            std::string name = "a/tmp" + std::to_string(i % 7);
            if (i % 2) unlink(t.host(name).c_str());
            else t.make(name);
        }
    };
    std::thread r1(reader), c1(churn);
    std::thread s1(scanner), s2(scanner), s3(scanner);
    s1.join();
    s2.join();
    s3.join();
    stop = true;
    r1.join();
    c1.join();
    EXPECT_EQ(faults.load(), 0);
    for (int i = 0; i < FILES; i++)
        EXPECT_EQ(find(a_dir, ("f" + std::to_string(i)).c_str()), numbers[i]) << i;
}

}  // namespace
