// RENAME, REMOVE and RMDIR: destinations, records, sharing-violation retries,
// READONLY names, failures that leave disk and table alone, and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>
#include <tuple>

#include "names/nfs_status.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM;

// A READONLY destination goes for uid 0 only; a change of case keeps the
// record; a file renamed onto a directory moves into it, replacing a file
// there but not a directory. Records move with the names (onto an existing
// file too: HeldFilesAndFailures). Then directories, and RMDIR.
TEST(FileopsRename, DestinationsDirectoriesAndRmdir) {
    fileops_tree t;
    t.make("src", "newer");
    t.make("g.txt", "old");
    for (const char *d : {"box/", "box/sub/", "box/f.txt"}) t.make(d);
    ASSERT_TRUE(t.set_attrs("g.txt", R));
    std::string before = t.snapshot();
    EXPECT_EQ(t.rename("", "src", "", "g.txt"), NFSERR_ACCES);
    EXPECT_EQ(t.log(), "file_rename c:\\src c:\\g.txt remove error 5\n");
    EXPECT_EQ(t.snapshot(), before);
    ASSERT_EQ(t.rename("", "src", "", "g.txt", test_cred(0, 0)), NFS_OK);
    uint32_t n = t.number("g.txt");
    ASSERT_EQ(t.rename("", "g.TXT", "", "F.TXT"), NFS_OK);
    EXPECT_EQ(t.record("F.TXT"), n);
    ASSERT_EQ(t.rename("", "F.TXT", "", "BOX"), NFS_OK);
    EXPECT_EQ(t.record("box/F.TXT"), n);
    t.make("sub", "file");
    EXPECT_EQ(t.rename("", "sub", "", "box"), NFSERR_ISDIR);
    ASSERT_EQ(t.rename("box", "f.txt", "", "box"), NFS_OK);  // stays where it is
    EXPECT_EQ(t.snapshot(), "box 16\nbox/F.TXT 128 newer\nbox/sub 16\nsub 128 file\n");

    for (const char *dir : {"a/", "a/inner/", "empty/", "full/", "b/"}) t.make(dir);
    t.make("a/inner/f", "x");
    t.make("full/g", "y");
    t.number("a/inner/f");  // the moved directory's contents are known
    uint32_t empty = t.number("empty"), b = t.number("b");
    EXPECT_EQ(t.rename("", "a", "", "full"), NFSERR_EXIST);
    EXPECT_EQ(t.log(), "file_rename c:\\full error 145\n");
    ASSERT_EQ(t.rename("", "a", "", "empty"), NFS_OK);
    EXPECT_EQ(t.content("empty/inner/f"), "x");
    // A directory whose contents were seen gets a new number; the replaced
    // directory's record goes.
    EXPECT_NE(t.record("empty"), empty);
    EXPECT_EQ(inode_record(empty), nullptr);

    // Never into its own subtree; a destination directory emptied for a
    // move that fails comes back.
    t.make("empty/inner/deeper/");
    ASSERT_TRUE(t.set_attrs("b", H));
    before = t.snapshot();
    EXPECT_EQ(t.rename("", "empty", "empty/inner", "x"), NFSERR_INVAL);
    EXPECT_EQ(t.rename("", "EMPTY", "empty/inner", "deeper"), NFSERR_INVAL);
    win_fail_inject("MoveFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(t.rename("", "full", "", "b"), NFSERR_ACCES);
    EXPECT_EQ(t.snapshot(), before);
    EXPECT_EQ(t.record("b"), b);

    // RMDIR drops the records below, of names gone behind the server's back
    // too; no record is left of any name moved or removed here.
    t.number("full/g");
    ASSERT_EQ(::remove(t.host("full/g").c_str()), 0);
    ASSERT_EQ(t.rmdir("", "FULL"), NFS_OK);
    EXPECT_EQ(t.record("full/g"), 0u);
    EXPECT_TRUE(t.stale_records().empty());
}

// A READONLY source renamed by uid 0 onto a HIDDEN destination, with host
// calls failing as the rules say: a held file (sharing violation) is retried,
// then copied; without hard links (FAT) the destination is moved aside
// instead. A READONLY name is removed by uid 0 only (a link file by anyone),
// and RMDIR answers 13 as 17 to others. Success moves or drops the source's
// record; failure leaves names, attributes, contents and records as they
// were, with nothing parked left behind.
TEST(FileopsRename, HeldFilesAndFailures) {
    using rule = std::tuple<const char *, uint32_t, uint32_t>;  // call, error, count
    const uint32_t held = ERROR_SHARING_VIOLATION, full = ERROR_DISK_FULL;
    enum kind { ONTO, NEW, REMOVE, RMDIR };  // rename onto "dst" or to a new name
    const struct {
        kind k;
        std::vector<rule> rules;
        uint32_t status;
        const char *log;  // after "file_rename c:\\" for renames
        uint32_t attributes = R | S, uid = 0;
        bool fat = false;
    } cases[] = {
        // clang-format off
        {ONTO, {{"DeleteFile", held, 3}}, NFS_OK, ""},
        {NEW, {{"MoveFile", held, 1}}, NFS_OK, ""},
        {ONTO, {{"DeleteFile", held, FILE_RENAME_RETRIES + 1}}, NFSERR_ACCES,
         "src c:\\dst remove error 32"},
        {NEW, {{"MoveFile", ERROR_ACCESS_DENIED, 1}}, NFSERR_ACCES, "src c:\\dst error 5"},
        {ONTO, {{"MoveFile", full, 1}}, NFSERR_NOSPC, "src c:\\dst error 112"},
        {ONTO, {{"DeleteFile", held, 1}, {"MoveFile", full, 1}}, NFSERR_NOSPC,
         "ds_ c:\\dst error 112"},
        {ONTO, {{"DeleteFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112"},
        {NEW, {{"MoveFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112"},
        {ONTO, {{"MoveFile", held, 2}}, NFSERR_ACCES, "ds_ c:\\dst error 32"},
        {ONTO, {}, NFS_OK, "", R | S, 0, true},
        {ONTO, {{"MoveFile", held, 1}, {"CopyFile", full, 1}}, NFSERR_NOSPC,
         "src c:\\dst copy error 112", R | S, 0, true},
        {REMOVE, {}, NFS_OK, "", R},
        {REMOVE, {}, NFSERR_ACCES, "file_unlink c:\\SRC error 5\n", R | H | S, 500},
        {REMOVE, {{"DeleteFile", held, 1}}, NFSERR_ACCES, "file_unlink c:\\SRC error 32\n",
         R | H | S},
        {REMOVE, {}, NFS_OK, "", S, 500},  // a link file
        {RMDIR, {}, NFSERR_EXIST, "file_rmdir c:\\SRC error 5\n", R, 500},
        {RMDIR, {{"RemoveDirectory", held, 1}}, NFSERR_EXIST, "file_rmdir c:\\SRC error 32\n", R},
        {RMDIR, {}, NFS_OK, "", R},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.k) + " " + (*c.log ? c.log : "success"));
        fileops_tree t;
        if (c.fat) hardlink_reset();
        t.make(c.k == RMDIR ? "src/" : "src", "new");
        ASSERT_TRUE(t.set_attrs("src", c.attributes));
        if (c.k == ONTO) {
            t.make("dst", "old");
            ASSERT_TRUE(t.set_attrs("dst", H));
        }
        uint32_t src = t.number("src"), dst = c.k == ONTO ? t.number("dst") : 0;
        std::string before = t.snapshot();
        for (const auto &[call, error, count] : c.rules) win_fail_inject(call, error, count);
        rpc_cred cred = test_cred(c.uid, 0);
        bool rename = c.k == ONTO || c.k == NEW, ok = c.status == NFS_OK;
        EXPECT_EQ(rename         ? t.rename("", "src", "", "dst", cred)
                  : c.k == RMDIR ? t.rmdir("", "SRC", cred)
                                 : t.unlink("", "SRC", cred),
                  c.status);
        win_fail_clear();
        std::string log = rename && *c.log ? "file_rename c:\\" + std::string(c.log) + "\n" : c.log;
        EXPECT_EQ(t.log(), log);
        EXPECT_EQ(t.snapshot(), !ok ? before : rename ? "dst 5 new\n" : "");
        EXPECT_EQ(t.record(rename ? "dst" : "src"), !ok ? (rename ? dst : src) : rename ? src : 0);
        EXPECT_TRUE(!ok || !dst || inode_record(dst) == nullptr);
        EXPECT_TRUE(t.stale_records().empty());
        hardlink_lookup();
    }
}

TEST(FileopsConcurrent, CreateRenameLinkRemoveInOneDirectory) {
    fileops_tree t;
    t.make("d/");
    t.make("d/shared", "x");
    const nfs_fh dir = t.fh("d"), shared = t.fh("d/shared");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; n++)
        threads.emplace_back([&, n] {
            rpc_cred c = test_cred(500, 100);
            nfs_sattr s{};
            uint8_t fh[32];
            nfs_attr a;
            for (int i = 0; i < 60; i++) {
                std::string id = std::to_string(n) + "_" + std::to_string(i);
                std::string f = "f" + id, g = "g" + id, l = "l" + id;
                test_object d(dir, &c), d2(dir, &c), from(shared, &c);
                failures += nfs_create(d, f.c_str(), NFS_CREATE_GUARDED, &s, fh, &a) != 0;
                failures += file_rename(d, d2, f.c_str(), g.c_str()) != 0;
                failures += nfs_link(from, d, l.c_str()) != 0;
                failures += nfs_symlink(d, f.c_str(), &s, "target", 6) != 0;
                // Everyone renames onto the same name: one of them wins each time.
                file_rename(d, d2, g.c_str(), "common");
                failures += file_unlink(d, l.c_str()) != 0;
                failures += file_unlink(d, f.c_str()) != 0;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    // Renames that lost the race for "common" answer 17 and keep their g_
    // name; nothing else may be left, parked names included.
    std::string left = std::regex_replace(t.snapshot(), std::regex("d/g[0-9_]+ [^\n]*\n"), "");
    EXPECT_TRUE(std::regex_match(left, std::regex("d 16\nd/common [^\n]*\nd/shared 128 x\n")))
        << left;
    EXPECT_TRUE(t.stale_records().empty());
}

}  // namespace
