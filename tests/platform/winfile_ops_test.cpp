// Delete, directories, copy, move and hard links with Windows error codes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

struct Ops : public ::testing::Test {
    temp_drive c;
    void SetUp() override {
        mkdir(c.host("d").c_str(), 0755);
        write_file(c.host("d/f.txt"), "hello");
        write_file(c.host("ro.txt"), "keep");
        chmod(c.host("ro.txt").c_str(), 0444);
    }
};

// One call of this file by a letter: Delete, Mkdir, Rmdir, copy (c fails if
// the target exists, C overwrites), moVe, hard Link.
bool call(char op, const char *a, const char *b) {
    if (op == 'D') return win_delete_file(a);
    if (op == 'M') return win_create_directory(a);
    if (op == 'R') return win_remove_directory(a);
    if (op == 'c' || op == 'C') return win_copy_file(a, b, op == 'c');
    if (op == 'V') return win_move_file(a, b);
    return win_create_hard_link(a, b);
}

// Every refused call gives its Windows error and changes nothing on disk.
TEST_F(Ops, RefusalsGiveTheWindowsErrorAndChangeNothing) {
    const struct {
        char op;
        const char *a, *b;
        uint32_t error;
    } cases[] = {
        {'D', "c:\\d\\nothere", "", ERROR_FILE_NOT_FOUND},
        {'D', "c:\\nodir\\f", "", ERROR_PATH_NOT_FOUND},
        {'D', "c:\\d", "", ERROR_ACCESS_DENIED},
        {'D', "c:\\ro.txt", "", ERROR_ACCESS_DENIED},  // even when the tests run as root
        {'M', "c:\\d\\F.txt", "", ERROR_ALREADY_EXISTS},
        {'M', "c:\\x\\y", "", ERROR_PATH_NOT_FOUND},
        {'M', "c:\\d\\f.txt\\y", "", ERROR_PATH_NOT_FOUND},
        {'R', "c:\\d", "", ERROR_DIR_NOT_EMPTY},
        {'R', "c:\\d\\f.txt", "", ERROR_DIRECTORY},
        {'R', "c:\\d\\gone", "", ERROR_FILE_NOT_FOUND},
        {'R', "c:\\", "", ERROR_ACCESS_DENIED},
        {'c', "c:\\d\\none", "c:\\x", ERROR_FILE_NOT_FOUND},
        {'c', "c:\\d", "c:\\x", ERROR_ACCESS_DENIED},
        {'c', "c:\\d\\f.txt", "c:\\ro.txt", ERROR_FILE_EXISTS},
        {'C', "c:\\d\\f.txt", "c:\\RO.TXT", ERROR_ACCESS_DENIED},
        {'V', "c:\\d\\none", "c:\\x", ERROR_FILE_NOT_FOUND},
        {'V', "c:\\d\\f.txt", "c:\\ro.txt", ERROR_ALREADY_EXISTS},
        {'V', "c:\\d\\f.txt", "c:\\nodir\\x", ERROR_PATH_NOT_FOUND},
        {'V', "c:\\d", "c:\\d\\in", ERROR_ACCESS_DENIED},
        {'L', "c:\\ro.txt", "c:\\d\\f.txt", ERROR_ALREADY_EXISTS},
        {'L', "c:\\l2", "c:\\d", ERROR_ACCESS_DENIED},
        {'L', "c:\\l2", "c:\\none", ERROR_FILE_NOT_FOUND},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(std::string(1, t.op) + " " + t.a + " " + t.b);
        EXPECT_EQ(fails(call(t.op, t.a, t.b)), t.error);
    }
    EXPECT_EQ(read_file(c.host("d/f.txt")), "hello");
    EXPECT_EQ(read_file(c.host("ro.txt")), "keep");
    for (const char *n : {"x", "l2", "d/in", "d/x"}) EXPECT_FALSE(c.has(n)) << n;
    // Write protection on a directory keeps it.
    ASSERT_TRUE(win_create_directory("c:\\d\\New"));
    chmod(c.host("d/New").c_str(), 0555);
    EXPECT_EQ(fails(win_remove_directory("c:\\d\\new")), ERROR_ACCESS_DENIED);
    chmod(c.host("d/New").c_str(), 0755);
    EXPECT_TRUE(win_remove_directory("c:\\d\\new"));
    EXPECT_FALSE(c.has("d/New"));
}

TEST_F(Ops, DeleteAndHardLinkUnderAnotherCase) {
    ASSERT_TRUE(win_create_hard_link("c:\\link.txt", "c:\\D\\F.txt"));
    struct stat a, b;
    stat(c.host("link.txt").c_str(), &a);
    stat(c.host("d/f.txt").c_str(), &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_TRUE(win_delete_file("c:\\D\\F.TXT"));
    EXPECT_FALSE(c.has("d/f.txt"));
    // Link files are deleted as the names they are.
    ASSERT_EQ(symlink("../link.txt", c.host("d/l").c_str()), 0);
    EXPECT_TRUE(win_delete_file("c:\\d\\l"));
    EXPECT_FALSE(c.has("d/l"));
    EXPECT_TRUE(c.has("link.txt"));
}

TEST_F(Ops, CopyKeepsAttributesTimesAndLinkFiles) {
    // A read-only copy keeps the attribute and the write time.
    ASSERT_TRUE(win_copy_file("c:\\ro.txt", "c:\\d\\copy", true));
    EXPECT_EQ(read_file(c.host("d/copy")), "keep");
    EXPECT_EQ(win_get_file_attributes("c:\\d\\copy"), FILE_ATTRIBUTE_READONLY);
    struct stat a, b;
    stat(c.host("ro.txt").c_str(), &a);
    stat(c.host("d/copy").c_str(), &b);
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec);
    // Overwrite allowed without fail_if_exists; the copy is independent.
    ASSERT_TRUE(win_copy_file("c:\\d\\f.txt", "c:\\d\\other", true));
    write_file(c.host("d/f.txt"), "changed");
    EXPECT_EQ(read_file(c.host("d/other")), "hello");
    ASSERT_TRUE(win_copy_file("c:\\d\\f.txt", "c:\\d\\OTHER", false));
    EXPECT_EQ(read_file(c.host("d/other")), "changed");
    EXPECT_FALSE(c.has("d/OTHER"));
    // A link file copies as its text with SYSTEM: still a link file.
    ASSERT_EQ(symlink("../x", c.host("d/l").c_str()), 0);
    ASSERT_TRUE(win_copy_file("c:\\d\\l", "c:\\d\\lcopy", true));
    EXPECT_EQ(read_file(c.host("d/lcopy")), "../x");
    EXPECT_EQ(win_get_file_attributes("c:\\d\\lcopy"), FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(Ops, MoveRenamesCaseFilesReadOnlyFilesAndDirectories) {
    ASSERT_TRUE(win_move_file("c:\\d\\f.txt", "c:\\d\\F.TXT"));
    EXPECT_TRUE(c.has("d/F.TXT"));
    EXPECT_FALSE(c.has("d/f.txt"));
    ASSERT_TRUE(win_move_file("c:\\d\\f.txt", "c:\\moved.txt"));
    EXPECT_EQ(read_file(c.host("moved.txt")), "hello");
    // A READONLY file may be moved (not overwritten); directories move too.
    ASSERT_TRUE(win_move_file("c:\\ro.txt", "c:\\d\\ro2.txt"));
    ASSERT_TRUE(win_move_file("c:\\d", "c:\\e"));
    EXPECT_TRUE(c.has("e/ro2.txt"));
}

// Between host file systems a file moves by copy and delete, as Windows
// moves between volumes, and a failed move leaves the source and no
// half-made target.
TEST_F(Ops, MoveAcrossFileSystems) {
    temp_drive e('E');
    write_file(c.host("big.bin"), std::string(200000, 'x'));
    write_file(c.host("hidden.txt"), "h");
    ASSERT_TRUE(win_set_file_attributes("c:\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    struct stat before;
    ASSERT_EQ(stat(c.host("big.bin").c_str(), &before), 0);
    int rc = with_mounted(e.dir(), "tmpfs", [&] {
        int bad = 0;
        if (!win_move_file("c:\\BIG.bin", "e:\\moved.bin")) bad |= 1;
        if (read_file(e.host("moved.bin")) != std::string(200000, 'x') || c.has("big.bin"))
            bad |= 2;
        struct stat st;
        if (stat(e.host("moved.bin").c_str(), &st) != 0 ||
            st.st_mtim.tv_sec != before.st_mtim.tv_sec)
            bad |= 4;
        if (fails(win_move_file("c:\\d", "e:\\d")) != ERROR_NOT_SAME_DEVICE || !c.has("d/f.txt") ||
            e.has("d"))
            bad |= 8;
        // ramfs keeps no extended attributes: a HIDDEN file cannot arrive.
        if (umount(e.dir().c_str()) != 0 ||
            mount("none", e.dir().c_str(), "ramfs", 0, nullptr) != 0)
            return 77;
        if (fails(win_move_file("c:\\hidden.txt", "e:\\h.txt")) != ERROR_NOT_SUPPORTED) bad |= 16;
        if (!c.has("hidden.txt") || e.has("h.txt")) bad |= 32;
        if (win_copy_file("c:\\hidden.txt", "e:\\h.txt", true) || e.has("h.txt")) bad |= 64;
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}

// Injected failures (which the NFS layer's tests use) count down, a new
// rule for a call replaces the old, and clearing ends them all.
TEST_F(Ops, InjectedFailures) {
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 2);
    EXPECT_EQ(fails(win_delete_file("c:\\d\\f.txt")), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(win_delete_file("c:\\d\\f.txt"));
    EXPECT_TRUE(win_delete_file("c:\\d\\f.txt"));
    win_fail_inject("MoveFile", ERROR_SHARING_VIOLATION, 0);
    win_fail_inject("MoveFile", ERROR_LOCK_VIOLATION, 0);
    EXPECT_EQ(fails(win_move_file("c:\\ro.txt", "c:\\x")), ERROR_LOCK_VIOLATION);
    win_fail_clear();
    EXPECT_TRUE(win_move_file("c:\\ro.txt", "c:\\x"));
}

}  // namespace
