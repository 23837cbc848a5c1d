// Delete, directories, copy, move and hard links with Windows error codes.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    bool exists(const std::string &rel) { return access(c.host(rel).c_str(), F_OK) == 0; }
};

TEST_F(Ops, DeleteFile) {
    EXPECT_FALSE(win_delete_file("c:\\d\\nothere"));
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(win_delete_file("c:\\nodir\\f.txt"));
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(win_delete_file("c:\\d"));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    // READONLY holds although the tests may run as root.
    EXPECT_FALSE(win_delete_file("c:\\ro.txt"));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(exists("ro.txt"));
    EXPECT_TRUE(win_delete_file("c:\\D\\F.TXT"));
    EXPECT_FALSE(exists("d/f.txt"));
    // Link and device files are deleted as the names they are.
    ASSERT_EQ(symlink("f.txt", c.host("d/l").c_str()), 0);
    EXPECT_TRUE(win_delete_file("c:\\d\\l"));
    EXPECT_FALSE(exists("d/l"));
}

TEST_F(Ops, Directories) {
    EXPECT_TRUE(win_create_directory("c:\\d\\New"));
    EXPECT_FALSE(win_create_directory("c:\\d\\NEW"));
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(win_create_directory("c:\\d\\f.txt"));
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(win_create_directory("c:\\x\\y"));
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(win_create_directory("c:\\d\\f.txt\\y"));
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);

    EXPECT_FALSE(win_remove_directory("c:\\d"));
    EXPECT_EQ(win_last_error(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(win_remove_directory("c:\\d\\f.txt"));
    EXPECT_EQ(win_last_error(), ERROR_DIRECTORY);
    EXPECT_FALSE(win_remove_directory("c:\\d\\gone"));
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(win_remove_directory("c:\\"));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    chmod(c.host("d/New").c_str(), 0555);
    EXPECT_FALSE(win_remove_directory("c:\\d\\new"));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    chmod(c.host("d/New").c_str(), 0755);
    EXPECT_TRUE(win_remove_directory("c:\\d\\new"));
    EXPECT_FALSE(exists("d/New"));
}

TEST_F(Ops, CopyFile) {
    EXPECT_FALSE(win_copy_file("c:\\d\\none", "c:\\x", true));
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(win_copy_file("c:\\d", "c:\\x", true));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(win_copy_file("c:\\d\\f.txt", "c:\\ro.txt", true));
    EXPECT_EQ(win_last_error(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(win_copy_file("c:\\d\\f.txt", "c:\\RO.TXT", false));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_file(c.host("ro.txt")), "keep");
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
    EXPECT_FALSE(exists("d/OTHER"));
    // A link file copies as its text with SYSTEM: still a link file.
    ASSERT_EQ(symlink("../x", c.host("d/l").c_str()), 0);
    ASSERT_TRUE(win_copy_file("c:\\d\\l", "c:\\d\\lcopy", true));
    EXPECT_EQ(read_file(c.host("d/lcopy")), "../x");
    EXPECT_EQ(win_get_file_attributes("c:\\d\\lcopy"), FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(Ops, MoveFile) {
    EXPECT_FALSE(win_move_file("c:\\d\\none", "c:\\x"));
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(win_move_file("c:\\d\\f.txt", "c:\\ro.txt"));
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(win_move_file("c:\\d\\f.txt", "c:\\nodir\\x"));
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(exists("d/f.txt"));
    // Changing only the case renames on disk.
    ASSERT_TRUE(win_move_file("c:\\d\\f.txt", "c:\\d\\F.TXT"));
    EXPECT_TRUE(exists("d/F.TXT"));
    EXPECT_FALSE(exists("d/f.txt"));
    ASSERT_TRUE(win_move_file("c:\\d\\f.txt", "c:\\moved.txt"));
    EXPECT_EQ(read_file(c.host("moved.txt")), "hello");
    // A READONLY file may be moved (not overwritten); directories move too.
    ASSERT_TRUE(win_move_file("c:\\ro.txt", "c:\\d\\ro2.txt"));
    ASSERT_TRUE(win_move_file("c:\\d", "c:\\e"));
    EXPECT_TRUE(exists("e/ro2.txt"));
    EXPECT_FALSE(win_move_file("c:\\e", "c:\\e\\inside"));
    EXPECT_TRUE(exists("e"));
}

// Between host file systems a file moves by copy and delete, as Windows
// moves between volumes, and a failed move leaves the source and no
// half-made target. The second file system is mounted in a private mount
// namespace of a child process.
TEST_F(Ops, MoveAcrossFileSystems) {
    temp_drive e('E');
    write_file(c.host("big.bin"), std::string(200000, 'x'));
    write_file(c.host("hidden.txt"), "h");
    ASSERT_TRUE(win_set_file_attributes("c:\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    struct stat before;
    ASSERT_EQ(stat(c.host("big.bin").c_str(), &before), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", e.dir().c_str(), "tmpfs", 0, nullptr) != 0)
            _exit(77);
        auto there = [&](const char *n) { return access(e.host(n).c_str(), F_OK) == 0; };
        int bad = 0;
        if (!win_move_file("c:\\BIG.bin", "e:\\moved.bin")) bad |= 1;
        if (read_file(e.host("moved.bin")) != std::string(200000, 'x') || exists("big.bin"))
            bad |= 2;
        struct stat st;
        if (stat(e.host("moved.bin").c_str(), &st) != 0 ||
            st.st_mtim.tv_sec != before.st_mtim.tv_sec)
            bad |= 4;
        if (win_move_file("c:\\d", "e:\\d") || win_last_error() != ERROR_NOT_SAME_DEVICE ||
            !exists("d/f.txt") || there("d"))
            bad |= 8;
        // ramfs keeps no extended attributes: a HIDDEN file cannot arrive.
        if (umount(e.dir().c_str()) != 0 ||
            mount("none", e.dir().c_str(), "ramfs", 0, nullptr) != 0)
            _exit(77);
        if (win_move_file("c:\\hidden.txt", "e:\\h.txt") || win_last_error() != ERROR_NOT_SUPPORTED)
            bad |= 16;
        if (!exists("hidden.txt") || there("h.txt")) bad |= 32;
        if (win_copy_file("c:\\hidden.txt", "e:\\h.txt", true) || there("h.txt")) bad |= 64;
        _exit(bad);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Ops, HardLink) {
    ASSERT_TRUE(win_create_hard_link("c:\\link.txt", "c:\\D\\F.txt"));
    struct stat a, b;
    stat(c.host("link.txt").c_str(), &a);
    stat(c.host("d/f.txt").c_str(), &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_FALSE(win_create_hard_link("c:\\link.txt", "c:\\d\\f.txt"));
    EXPECT_EQ(win_last_error(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(win_create_hard_link("c:\\l2", "c:\\d"));
    EXPECT_EQ(win_last_error(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(win_create_hard_link("c:\\l2", "c:\\none"));
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Ops, InjectedSharingViolation) {
    win_fail_inject("DeleteFile", ERROR_SHARING_VIOLATION, 2);
    EXPECT_FALSE(win_delete_file("c:\\d\\f.txt"));
    EXPECT_EQ(win_last_error(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(win_delete_file("c:\\d\\f.txt"));
    EXPECT_TRUE(exists("d/f.txt"));
    EXPECT_TRUE(win_delete_file("c:\\d\\f.txt"));
    win_fail_inject("MoveFile", ERROR_SHARING_VIOLATION, 0);
    EXPECT_FALSE(win_move_file("c:\\ro.txt", "c:\\x"));
    EXPECT_FALSE(win_move_file("c:\\ro.txt", "c:\\x"));
    win_fail_clear();
    EXPECT_TRUE(win_move_file("c:\\ro.txt", "c:\\x"));
}

}  // namespace
