// The Windows file calls over this host, where it differs from Windows
// (winfile_calls_test.cpp runs on both): names that never leave the drive,
// case folding through the directory index, the kept folders of walks,
// listings of what Windows has no file for, the attributes (READONLY as the
// owner's write bit, HIDDEN and SYSTEM in an extended attribute), and moves
// between host file systems.
#include "platform/winfile.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/drive.h"
#include "support/drive_temp.h"

namespace {

uint32_t attrs(const std::string &p) {
    return win_get_file_attributes(p.c_str());
}
mode_t mode_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
std::string names_of(const std::map<std::string, win_find_data> &listing) {
    std::string out;
    for (const auto &[name, data] : listing) out += (out.empty() ? "" : " ") + name;
    return out;
}

class Escape : public ::testing::Test {
   protected:
    temp_drive c;
    std::string outside;  // a secret next to the drive directory
    void SetUp() override {
        outside = c.dir() + "-outside";
        mkdir(outside.c_str(), 0755);
        write_file(outside + "/secret", "top secret");
        c.make({"data/"});
        write_file(c.host("data/f.txt"), "inside");
    }
    void TearDown() override { std::filesystem::remove_all(outside); }
};

TEST_F(Escape, SymlinkInsideTheTreeIsNeverFollowed) {
    c.make({"data/etc -> /etc", "out -> " + outside, "data/passwd -> /etc/passwd", "data/a/",
            "data/a/up -> ../../.."});
    // The link itself is a link file; nothing behind it is reachable.
    EXPECT_EQ(attrs("c:\\data\\etc"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(attr_fails("c:\\data\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\OUT\\secret"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\data\\a\\up\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    // Writing through links fails and leaves the targets alone.
    EXPECT_NE(open_fails("c:\\out\\new", GENERIC_WRITE, CREATE_NEW), kSucceeded);
    EXPECT_NE(access((outside + "/new").c_str(), F_OK), 0);
    EXPECT_FALSE(win_create_directory("c:\\data\\etc\\evil"));
    EXPECT_FALSE(win_delete_file("c:\\out\\secret"));
    EXPECT_FALSE(win_move_file("c:\\out\\secret", "c:\\data\\moved"));
    EXPECT_EQ(read_file(outside + "/secret"), "top secret");
    // A link never opens for writing, and its attributes do not pass to the target.
    EXPECT_EQ(open_fails("c:\\data\\passwd", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(win_set_file_attributes("c:\\data\\passwd", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(attrs("c:\\data\\passwd"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_TRUE(mode_of("/etc/passwd") & S_IWUSR);
}

// ".." stops at the drive's root; names and paths outside any drive fail.
TEST_F(Escape, DotDotIsClampedAndBadNamesAndPathsOutsideAnyDriveFail) {
    std::string too_long = "c:", name = outside.substr(outside.rfind('/') + 1);
    while (too_long.size() < 5000) too_long += "\\abcdefgh";
    EXPECT_EQ(attrs("c:\\data\\..\\..\\data\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\..\\data\\.\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    const struct {
        std::string path;
        uint32_t error;
    } cases[] = {
        {"c:\\..\\" + name + "\\secret", ERROR_PATH_NOT_FOUND},
        {"c:\\data\\..\\..\\..\\" + name + "\\secret", ERROR_PATH_NOT_FOUND},
        {"c:\\data/f.txt", ERROR_INVALID_NAME},  {"c:\\data\\..\\/etc/passwd", ERROR_INVALID_NAME},
        {"c:\\data\\a\x01", ERROR_INVALID_NAME}, {"c:\\x:y", ERROR_INVALID_NAME},
        {"c:\\x*", ERROR_INVALID_NAME},          {"c:\\x\"", ERROR_INVALID_NAME},
        {"\\etc\\passwd", ERROR_PATH_NOT_FOUND}, {"/etc/passwd", ERROR_PATH_NOT_FOUND},
        {"q:\\etc", ERROR_PATH_NOT_FOUND},       {"\\\\server\\share\\x", ERROR_BAD_NET_NAME},
        {too_long, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.path.substr(0, 30));
        EXPECT_EQ(attr_fails(t.path), t.error);
        EXPECT_EQ(fails(win_create_directory(t.path.c_str())), t.error);
    }
}

// Of names differing only in case the exact one wins, otherwise the
// byte-wise smallest. The index drops names the layer removes or renames
// away: a stale entry would make a later create under another case reuse the
// old name. (Names made outside the layer are PathCache's rows.)
TEST(DirIndex, CaseRuleOutsideChangesAndRemovedNames) {
    temp_drive c;
    c.make({"Foo", "Gone", "Readme.TXT", "ReadMe.txt", "Dir/"});
    EXPECT_EQ(names_of(find_all("c:\\readme.txt")), "ReadMe.txt");
    EXPECT_EQ(names_of(find_all("c:\\Readme.TXT")), "Readme.TXT");
    ASSERT_TRUE(win_move_file("c:\\Foo", "c:\\bar"));
    ASSERT_TRUE(win_delete_file("c:\\Gone"));
    ASSERT_TRUE(win_remove_directory("c:\\Dir"));
    using names = std::pair<const char *, const char *>;
    for (auto [created, old] : {names{"FOO", "Foo"}, names{"gONE", "Gone"}, names{"dIR", "Dir"}}) {
        SCOPED_TRACE(created);
        ASSERT_EQ(open_fails(std::string("c:\\") + created, GENERIC_WRITE, CREATE_NEW), kSucceeded);
        EXPECT_TRUE(c.has(created));
        EXPECT_FALSE(c.has(old));
    }
    EXPECT_EQ(attrs("c:\\BAR"), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(win_delete_file("c:\\ReadMe.txt"));
    EXPECT_EQ(names_of(find_all("c:\\readme.txt")), "Readme.TXT");
}

// Directories that walks went through are kept open between calls. Each
// row changes the host behind the layer's back between two identical calls
// and expects the second to see the change: the layer must never answer
// from a directory that has moved, gone, been replaced or been shadowed by
// a name in the exact case.
TEST(PathCache, HostChangesBetweenTwoCallsAreSeen) {
    const struct {
        const char *what;
        const char *path;                         // asked twice
        std::initializer_list<std::string> change;  // made between the calls
        uint32_t second;                          // attributes or the error then
    } rows[] = {
        {"a folder on the way renamed", "c:\\a\\b\\f", {"a => a2"}, ERROR_PATH_NOT_FOUND},
        {"a folder on the way replaced by another of the same name", "c:\\a\\b\\f",
         {"a => old", "a/", "a/b/", "a/b/g"}, ERROR_FILE_NOT_FOUND},
        {"the parent replaced by a file", "c:\\a\\b\\f", {"-a/b/f", "-a/b", "a/b"},
         ERROR_PATH_NOT_FOUND},
        {"the parent replaced by a link to a folder", "c:\\a\\b\\f",
         {"a/b => elsewhere", "a/b -> ../elsewhere"}, ERROR_PATH_NOT_FOUND},
        {"a name in the exact case now shadows the folded match", "c:\\A\\b\\f",
         {"A/", "A/b/"}, ERROR_FILE_NOT_FOUND},
        {"two folders swapped", "c:\\a\\b\\f",
         {"x/", "x/b/", "x/b/f/", "a => t", "x => a", "t => x"}, FILE_ATTRIBUTE_DIRECTORY},
        {"the drive's folder itself renamed away", "c:\\a\\b\\f", {}, ERROR_NOT_READY},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        temp_drive c;
        c.make({"a/", "a/b/", "a/b/f"});
        ASSERT_EQ(attrs(row.path), FILE_ATTRIBUTE_NORMAL);
        ASSERT_EQ(attrs(row.path), FILE_ATTRIBUTE_NORMAL);  // now from the kept folders
        c.make(row.change);
        std::string moved = c.dir() + ".moved";
        if (row.change.size() == 0) rename(c.dir().c_str(), moved.c_str());
        uint32_t a = attrs(row.path);
        EXPECT_EQ(a == INVALID_FILE_ATTRIBUTES ? win_last_error() : a, row.second);
        rename(moved.c_str(), c.dir().c_str());  // for the drive's clean-up
    }
}

// READONLY is kept as the owner's write bit alone, HIDDEN and SYSTEM as an
// extended attribute (their round trip through the layer is the NFS tests'
// ModeToAttributesAndBack). Set or removed on the host right after a read,
// they are seen by the next read, of a file and of a folder alike.
TEST(PathCache, HostAttributesAndTheirChangesAreSeen) {
    temp_drive c;
    c.make({"d/", "d/f"});
    const uint32_t R = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN,
                   S = FILE_ATTRIBUTE_SYSTEM;
    const char *xattr = "user.nimbora.attrib";
    for (auto [name, path] : {std::pair{"d", "c:\\d"}, {"d/f", "c:\\d\\f"}}) {
        std::string host = c.host(name);
        uint32_t plain = attrs(path) & FILE_ATTRIBUTE_DIRECTORY;
        for (auto [text, bits] : {std::pair{"2", H}, {"6", H | S}, {"", 0u}}) {
            int rc = *text ? setxattr(host.c_str(), xattr, text, 1, 0)
                           : removexattr(host.c_str(), xattr);
            if (rc != 0) GTEST_SKIP() << "no extended attributes here";
            EXPECT_EQ(attrs(path), (bits | plain) ? bits | plain : FILE_ATTRIBUTE_NORMAL) << name;
        }
    }
    // Setting READONLY takes every write bit; reading it looks at the owner's.
    chmod(c.host("d/f").c_str(), 0664);
    ASSERT_TRUE(win_set_file_attributes("c:\\d\\F", R | H | S));
    EXPECT_EQ(mode_of(c.host("d/f")), 0444u);
    char text[16] = {};
    ASSERT_GT(getxattr(c.host("d/f").c_str(), xattr, text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "6");
    chmod(c.host("d/f").c_str(), 0466);
    EXPECT_EQ(attrs("c:\\d\\f"), R | H | S);
}

// A mount makes no change event in the folders it covers: a folder on the
// way mounted over, or uncovered again, must still be seen at once.
TEST(PathCache, MountsOnTheWayAreSeen) {
    temp_drive c;
    c.make({"a/", "a/b/", "m/", "a/b/f"});
    int rc = with_mounted(c.host("m"), "tmpfs", [&]() {
        if (attrs("c:\\a\\b\\f") != FILE_ATTRIBUTE_NORMAL) return 1;
        if (attrs("c:\\a\\b\\f") != FILE_ATTRIBUTE_NORMAL) return 1;
        if (mount("tmpfs", c.host("a").c_str(), "tmpfs", 0, nullptr) != 0) return 77;
        if (attrs("c:\\a\\b\\f") != INVALID_FILE_ATTRIBUTES) return 2;
        if (umount2(c.host("a").c_str(), MNT_DETACH) != 0) return 3;
        if (attrs("c:\\a\\b\\f") != FILE_ATTRIBUTE_NORMAL) return 4;
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot mount here";
    EXPECT_EQ(rc, 0);
}

// Many threads walk deep paths while others rename the folders on the way
// back and forth on the host: every answer is one of the two states a
// fresh walk could give, and the descriptors the cache held are all closed
// once it is emptied.
TEST(PathCache, WalksRacingHostRenamesSeeOneStateOrTheOther) {
    temp_drive c;
    c.make({"p/", "p/q/", "p/q/r/", "s/", "s/q/", "s/q/r/", "p/q/r/f"});
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread renamer([&] {
        for (int i = 0; i < 300; i++) {
            rename(c.host("p").c_str(), c.host("t").c_str());
            rename(c.host("s").c_str(), c.host("p").c_str());
            rename(c.host("t").c_str(), c.host("s").c_str());
        }
        stop = true;
    });
    std::vector<std::thread> walkers;
    for (int t = 0; t < 3; t++)
        walkers.emplace_back([&] {
            while (!stop)
                for (const char *path : {"c:\\p\\q\\r\\f", "c:\\s\\q\\r\\f"}) {
                    uint32_t x = attrs(path);
                    if (x != FILE_ATTRIBUTE_NORMAL && x != INVALID_FILE_ATTRIBUTES) wrong++;
                }
        });
    renamer.join();
    for (auto &w : walkers) w.join();
    EXPECT_EQ(wrong, 0);
    // At rest, exactly one of the two names holds the file.
    bool in_p = c.has("p/q/r/f");
    EXPECT_EQ(attrs("c:\\p\\q\\r\\f") == FILE_ATTRIBUTE_NORMAL, in_p);
    EXPECT_EQ(attrs("c:\\s\\q\\r\\f") == FILE_ATTRIBUTE_NORMAL, !in_p);
}

// A host device node is a SYSTEM file holding the device header.
TEST(Find, ADeviceNodeIsASystemFileOfItsHeader) {
    temp_drive c;
    if (mknod(c.host("null").c_str(), S_IFCHR | 0640, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make device nodes here";
    EXPECT_EQ(find_all("c:\\null")["null"].attributes, FILE_ATTRIBUTE_SYSTEM);
    win_handle h = win_create_file("c:\\null", GENERIC_READ, 0, OPEN_EXISTING, 0);
    uint8_t hdr[40] = {};
    uint32_t n = 0;
    EXPECT_TRUE(win_read_file(h, hdr, sizeof hdr, &n));
    win_close_handle(h);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(hdr) + 4, 8), "specdata");
    EXPECT_EQ(std::vector<int>({int(n), hdr[16], hdr[20], hdr[24]}),
              std::vector<int>({32, 4, 1, 3}));
}

// The count of a listing's directories, one entry's count and the listing
// of names alone equal the full listing for every kind of entry: fresh,
// remembered, after changes by the layer and from outside it, at one
// drive's root and below another.
TEST(Find, DirectoryCountsEqualTheListing) {
    temp_drive c;
    c.make({"d/", "d/sub/", "d/sub/x/", "d/Hidden/", "d/sys/", "d/.dot/", "d/co:lon/",
            "d/back\\slash/", "d/\xc3\xa4\xe6\x97\xa5/", "d/file", "d/tosub -> sub"});
    mkfifo(c.host("d/fifo").c_str(), 0644);
    ASSERT_TRUE(win_set_file_attributes("c:\\d\\Hidden", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(win_set_file_attributes("c:\\d\\sys", FILE_ATTRIBUTE_SYSTEM));
    drive_map("E", c.host("d").c_str(), DRIVE_FIXED, 0);
    // Names Windows cannot hold and kinds it has no file for are left out;
    // a link is a SYSTEM file of its text; a root has no dot entries.
    auto all = find_all("c:\\d\\*");
    EXPECT_EQ(names_of(all), ". .. .dot Hidden file sub sys tosub \xc3\xa4\xe6\x97\xa5");
    EXPECT_EQ(all["tosub"].attributes, FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(all["tosub"].size_low, 3u);
    EXPECT_EQ(names_of(find_all("c:\\*.*")), "d");
    auto check = [](const char *when) {
        for (std::string p : {"c:\\*.*", "c:\\d\\*.*", "c:\\D\\*", "c:\\d\\s*", "c:\\d\\sub\\*.*",
                              "e:\\*.*", "c:\\", "c:\\d", "c:\\D\\sub", "c:\\d\\Hidden",
                              "c:\\d\\file"}) {
            SCOPED_TRACE(p + ", " + when);
            uint32_t listed = 0, count = 99;
            auto all = find_all(p);
            for (const auto &[name, d] : all)
                listed += (d.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
            EXPECT_EQ(names_of(find_all(p, true)), names_of(all));
            EXPECT_TRUE(win_count_directories(p.c_str(), &count));
            EXPECT_EQ(count, listed);
            if (p.find('*') != std::string::npos || p == "c:\\") continue;
            // One entry's find data and count, its path resolved once, agree.
            win_find_data d;
            ASSERT_TRUE(win_find_entry(p.c_str(), &d, &count));
            const win_find_data &e = all.begin()->second;
            EXPECT_EQ(std::tie(e.attributes, e.write_time), std::tie(d.attributes, d.write_time));
            listed = 0;
            bool dir = d.attributes & FILE_ATTRIBUTE_DIRECTORY;
            EXPECT_TRUE(!dir || win_count_directories((p + "\\*.*").c_str(), &listed));
            EXPECT_EQ(count, listed);
        }
    };
    check("fresh");
    // More searches open at a time than the fixed pool holds still work.
    std::vector<win_find_handle> open(40);
    win_find_data d;
    for (auto &h : open) ASSERT_NE(h = win_find_first_file("c:\\d\\*.*", &d), nullptr);
    for (auto h : open) EXPECT_TRUE(win_find_close(h));
    // Where the host's times are fine enough, counts are remembered at once:
    // a change right after them must still show.
    c.make({"d/quick/"});
    check("changed from outside at once");
    c.make({"-d/quick"});
    sleep(3);  // counts of directories this old are remembered
    check("remembered");
    ASSERT_TRUE(win_create_directory("c:\\d\\made"));
    ASSERT_TRUE(win_remove_directory("c:\\d\\sub\\x"));
    ASSERT_TRUE(win_move_file("c:\\d\\sys", "c:\\d\\sub\\sys"));
    check("changed by the layer");
    c.make({"d/new/", "-d/Hidden", "d/Hidden"});
    check("changed from outside");
    drive_map("E", nullptr, 0, 0);
}

struct Tree : public ::testing::Test {
    temp_drive c;
    void SetUp() override {
        c.make({"f", "d/"});
        write_file(c.host("d/f.txt"), "hello");
    }
};

// ramfs keeps no extended attributes: HIDDEN and SYSTEM cannot be kept, and
// a call that asks for them changes nothing, not even the content.
TEST_F(Tree, NoExtendedAttributesGivesError50AndChangesNothing) {
    int rc = with_mounted(c.dir(), "ramfs", [&] {
        write_file(c.host("f"), "x");
        chmod(c.host("f").c_str(), 0644);
        int bad = 0;
        if (fails(win_set_file_attributes(
                "c:\\f", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY)) != ERROR_NOT_SUPPORTED)
            bad |= 2;
        if (mode_of(c.host("f")) != 0644) bad |= 4;  // READONLY was not applied either
        if (open_fails("c:\\f", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN) !=
                ERROR_NOT_SUPPORTED ||
            read_file(c.host("f")) != "x")
            bad |= 8;
        if (!win_set_file_attributes("c:\\f", FILE_ATTRIBUTE_READONLY) ||
            attrs("c:\\f") != FILE_ATTRIBUTE_READONLY)
            bad |= 16;
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}

// What only this host has: the drive's root, a folder moved into itself,
// and link files, which copy as their text with SYSTEM and delete as a name.
TEST_F(Tree, CallsOnNamesOfTheRootAndOfLinkFiles) {
    EXPECT_EQ(fails(win_remove_directory("c:\\")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fails(win_move_file("c:\\d", "c:\\d\\in")), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(c.has("d/in"));
    c.make({"d/l -> ../x"});
    ASSERT_TRUE(win_copy_file("c:\\d\\l", "c:\\d\\lcopy", true));
    EXPECT_EQ(read_file(c.host("d/lcopy")), "../x");
    EXPECT_EQ(attrs("c:\\d\\lcopy"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_TRUE(win_delete_file("c:\\d\\L"));
    EXPECT_FALSE(c.has("d/l"));
}

// Between host file systems a file moves by copy and delete, and a failed
// move leaves the source and no half-made target.
TEST_F(Tree, MoveAcrossFileSystems) {
    temp_drive e('E');
    write_file(c.host("big.bin"), std::string(200000, 'x'));
    write_file(c.host("hidden.txt"), "h");
    ASSERT_TRUE(win_set_file_attributes("c:\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    int rc = with_mounted(e.dir(), "tmpfs", [&] {
        int bad = 0;
        if (!win_move_file("c:\\BIG.bin", "e:\\moved.bin")) bad |= 1;
        if (read_file(e.host("moved.bin")) != std::string(200000, 'x') || c.has("big.bin"))
            bad |= 2;
        if (fails(win_move_file("c:\\d", "e:\\d")) != ERROR_NOT_SAME_DEVICE || !c.has("d/f.txt") ||
            e.has("d"))
            bad |= 8;
        // The folders the walks keep open would hold the tmpfs busy until a
        // sweep closes those idle for its time; the walks go on after it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        win_folder_sweep(0);
        if (umount(e.dir().c_str()) != 0) return bad | 4;
        // ramfs keeps no extended attributes: a HIDDEN file cannot arrive.
        if (mount("none", e.dir().c_str(), "ramfs", 0, nullptr) != 0) return bad ? bad : 77;
        if (fails(win_move_file("c:\\hidden.txt", "e:\\h.txt")) != ERROR_NOT_SUPPORTED) bad |= 16;
        if (!c.has("hidden.txt") || e.has("h.txt")) bad |= 32;
        return bad;
    });
    if (rc == 77) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}

}  // namespace
