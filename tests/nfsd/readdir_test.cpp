// Directory listings as clients see them: cookies as positions, what a
// cookie-0 scan adds, keeps and removes, its failures, and scans of one
// directory from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
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
const dir_form FORMS[] = {DIR_V2, DIR_V3, DIR_PLUS};

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

TEST_F(Readdir, CookiesArePositionsAfterTheDotEntries) {
    for (const char *f : {"d/", "d/a", "d/b", "d/c", "root1"}) t.make(f);
    const struct {
        const char *dir;
        uint32_t cookie;
        strings names;
        uint32_t first_cookie;
    } cases[] = {
        {"c:\\d", 0, {".", "..", "a", "b", "c"}, 1},
        {"c:\\d", 4, {"c"}, 5},  // cookie 4 = index 2
        {"c:\\d", 1, {"..", "a", "b", "c"}, 2},
        {"c:\\d", 5, {}, 0},  // past the end: empty, eof
        {"c:\\d", 0xFFFFFFFF, {}, 0},
        {"c:\\", 0, {".", "d", "root1"}, 1},  // no parent record: no ".."
    };
    for (dir_form form : FORMS)
        for (const auto &c : cases) {
            nfs_scan_forget();
            dir_reply r = list(form, c.dir, c.cookie);
            SCOPED_TRACE(std::string(c.dir) + " form " + std::to_string(form) + " cookie " +
                         std::to_string(c.cookie));
            ASSERT_EQ(r.error, "");
            EXPECT_EQ(r.status, NFS_OK);
            EXPECT_EQ(r.names(), c.names);
            std::vector<uint64_t> cookies;
            for (size_t i = 0; i < c.names.size(); i++) cookies.push_back(c.first_cookie + i);
            EXPECT_EQ(r.cookies(), cookies);
            EXPECT_TRUE(r.eof);
        }
    // A count of 0 or above "Datasize" means "Datasize".
    config.datasize = 256;
    for (dir_form form : FORMS)
        for (uint32_t count : {0u, 257u, 99999u})
            EXPECT_EQ(dir_bytes(form, t.handle("c:\\d").data(), 0, count),
                      dir_bytes(form, t.handle("c:\\d").data(), 0, 256));
}

TEST_F(Readdir, ACookieZeroScanFollowsTheDisk) {
    for (const char *f : {"d/", "d/old/", "d/old/inner", "d/keep", "d/fine"}) t.make(f);
    rescan(DIR_V2, "c:\\d");
    rescan(DIR_V2, "c:\\d\\old");
    uint32_t keep = child("c:\\d", "keep");
    gone("d/old/inner");
    gone("d/old");
    t.make("d/new");
    t.make("d/del\x7f");      // refused by the name rules
    t.make("d/caf\xc3\xa9");  // refused only to ASCII clients
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
    for (const char *f : {"d/", "d/a", "d/b", "d/sub/", "d/sub/f", "d/gone/"}) t.make(f);
    rescan(DIR_V2, "c:\\d\\sub");
    nfs_fh gone_dir = t.handle("c:\\d\\gone"), bad = t.handle("c:\\d");
    bad[12] ^= 1;  // check word
    gone("d/gone");
    rescan(DIR_V2, "c:\\d");  // drops the record of "gone"
    for (const nfs_fh &h : {gone_dir, bad})
        for (dir_form form : FORMS) {
            dir_reply r = dir_request(form, h.data(), 0, 8192);
            EXPECT_EQ(r.status, NFSERR_STALE);
            EXPECT_EQ(r.length, form == DIR_V2 ? 4u : 8u) << "status and no directory attributes";
        }

    // The directory is gone from the disk but not yet from the table.
    char path[INODE_PATH_MAX];
    ASSERT_TRUE(inode_path(ino("c:\\d\\sub"), path));
    gone("d/sub/f");
    gone("d/sub");
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
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").names(), (strings{".", "..", "a"}));
}

// A listing that ends early stands for names created after it passed their
// place: their records, and the handles given out, must survive.
TEST_F(Readdir, UnlistedFilesThatExistKeepTheirRecords) {
    t.make("d/");
    for (int i = 0; i < 150; i++) t.make("d/f" + std::to_string(i));
    rescan(DIR_V2, "c:\\d");
    std::vector<uint32_t> before;
    for (int i = 0; i < 150; i++) before.push_back(child("c:\\d", "f" + std::to_string(i)));
    gone("d/f7");
    gone("d/f120");
    win_fail_inject("FindNextFile", ERROR_NO_MORE_FILES, 1);  // lists "." alone
    EXPECT_EQ(rescan(DIR_V2, "c:\\d").status, NFS_OK);
    for (int i = 0; i < 150; i++)
        EXPECT_EQ(child("c:\\d", "f" + std::to_string(i)), i == 7 || i == 120 ? 0 : before[i]);
}

TEST_F(Readdir, ASecondScannerWaitsForTheFirst) {
    for (const char *f : {"d/", "d/a"}) t.make(f);
    rescan(DIR_V2, "c:\\d");
    uint32_t dir = ino("c:\\d");
    t.make("d/late");
    for (bool shutdown : {false, true}) {
        ASSERT_FALSE(inode_scan_flag(dir, 1));  // a scan "runs"
        std::atomic<uint32_t> status{99};
        std::thread waiter([&] { status = nfs_getdir(t.env.entries()[0], dir); });
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

TEST_F(Readdir, ConcurrentScansOfOneDirectoryLoseNoRecord) {
    config.datasize = 65535;
    constexpr int FILES = 120;
    for (const char *d : {"a/", "b/"}) t.make(d);
    for (int i = 0; i < FILES; i++) {
        t.make("a/f" + std::to_string(i));
        t.make("b/f" + std::to_string(i));
    }
    nfs_fh a = t.handle("c:\\a"), b = t.handle("c:\\b");
    rescan(DIR_V3, "c:\\a");
    std::vector<uint32_t> numbers;
    for (int i = 0; i < FILES; i++) numbers.push_back(child("c:\\a", "f" + std::to_string(i)));

    std::atomic<bool> stop{false};
    std::atomic<int> faults{0};
    auto scanner = [&] {
        // Alternating directories defeats the one-second rule: every
        // cookie-0 request scans.
        for (int round = 0; round < 25; round++)
            for (const nfs_fh *h : {&a, &b}) {
                dir_reply r = dir_request(DIR_V3, h->data(), 0, 0);
                int stable = 0;
                for (const std::string &name : r.names()) stable += name[0] == 'f';
                if (!r.error.empty() || r.status != NFS_OK || stable != FILES || !r.eof) faults++;
            }
    };
    auto reader = [&] {
        while (!stop)
            if (!dir_list_all(DIR_PLUS, a.data(), 1024).error.empty()) faults++;
    };
    auto churn = [&] {  // names that come and go while the others scan
        for (int i = 0; !stop; i++) {
            std::string name = "a/tmp" + std::to_string(i % 7);
            if (i % 2)
                remove(t.host(name).c_str());
            else
                t.make(name);
        }
    };
    std::thread r1(reader), c1(churn), s1(scanner), s2(scanner), s3(scanner);
    for (std::thread *s : {&s1, &s2, &s3}) s->join();
    stop = true;
    r1.join();
    c1.join();
    EXPECT_EQ(faults.load(), 0);
    for (int i = 0; i < FILES; i++)
        EXPECT_EQ(child("c:\\a", "f" + std::to_string(i)), numbers[i]) << i;
}

}  // namespace
