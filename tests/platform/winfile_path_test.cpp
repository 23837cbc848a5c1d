// Names: resolution that never leaves the drive, case folding through the
// directory index (concurrent use, changes made through the layer, what it
// costs), bad names, and FindFirstFile / FindNextFile listings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/winfile.h"
#include "platform/winfile_internal.h"
#include "support/drive_temp.h"

namespace {

uint32_t attrs(const std::string &p) {
    return win_get_file_attributes(p.c_str());
}
bool create(const std::string &path) {
    return open_fails(path, GENERIC_WRITE, CREATE_NEW) == kSucceeded;
}
// name -> find data, in listing order in `order`.
std::map<std::string, win_find_data> list(const std::string &pattern,
                                          std::vector<std::string> *order = nullptr) {
    std::map<std::string, win_find_data> out;
    win_find_data d;
    win_find_handle h = win_find_first_file(pattern.c_str(), &d);
    if (!h) return out;
    do {
        out[d.name] = d;
        if (order) order->push_back(d.name);
    } while (win_find_next_file(h, &d));
    EXPECT_EQ(win_last_error(), ERROR_NO_MORE_FILES);
    win_find_close(h);
    return out;
}
// The names of a listing, blank-separated.
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
        mkdir(c.host("data").c_str(), 0755);
        write_file(c.host("data/f.txt"), "inside");
    }
    void TearDown() override {
        unlink((outside + "/secret").c_str());
        rmdir(outside.c_str());
    }
};

TEST_F(Escape, DotDotIsClampedAtTheDriveRoot) {
    // "c:\..\..\x" is "c:\x", as on Windows: never the directory above.
    std::string name = outside.substr(outside.rfind('/') + 1);
    EXPECT_EQ(attrs("c:\\..\\" + name + "\\secret"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("c:\\data\\..\\..\\..\\" + name + "\\secret"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs("c:\\data\\..\\..\\data\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\..\\data\\.\\f.txt"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Escape, SymlinkInsideTheTreeIsNeverFollowed) {
    ASSERT_EQ(symlink("/etc", c.host("data/etc").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), c.host("out").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", c.host("data/passwd").c_str()), 0);
    mkdir(c.host("data/a").c_str(), 0755);
    ASSERT_EQ(symlink("../../..", c.host("data/a/up").c_str()), 0);
    // The link itself is a link file; nothing behind it is reachable.
    EXPECT_EQ(attrs("c:\\data\\etc"), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(attr_fails("c:\\data\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\OUT\\secret"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(attr_fails("c:\\data\\a\\up\\etc\\passwd"), ERROR_PATH_NOT_FOUND);
    win_find_data fd;
    EXPECT_EQ(win_find_first_file("c:\\data\\a\\up\\*.*", &fd), nullptr);
    // Writing through links fails and leaves the targets alone.
    EXPECT_NE(open_fails("c:\\out\\new", GENERIC_WRITE, CREATE_NEW), kSucceeded);
    EXPECT_NE(access((outside + "/new").c_str(), F_OK), 0);
    EXPECT_FALSE(win_create_directory("c:\\data\\etc\\evil"));
    EXPECT_FALSE(win_delete_file("c:\\out\\secret"));
    EXPECT_FALSE(win_copy_file("c:\\out\\secret", "c:\\data\\copy", true));
    EXPECT_FALSE(win_move_file("c:\\out\\secret", "c:\\data\\moved"));
    EXPECT_EQ(read_file(outside + "/secret"), "top secret");
    // Opening the link to a file gives the link text, not /etc/passwd, and
    // it can neither be written through nor pass its attributes on.
    win_handle h = win_create_file("c:\\data\\passwd", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[64] = {};
    uint32_t n = 0;
    ASSERT_TRUE(win_read_file(h, buf, sizeof buf - 1, &n));
    EXPECT_EQ(std::string(buf, n), "/etc/passwd");
    EXPECT_TRUE(win_close_handle(h));
    EXPECT_EQ(open_fails("c:\\data\\passwd", GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(win_set_file_attributes("c:\\data\\passwd", FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat("/etc/passwd", &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
}

TEST_F(Escape, BadNamesAndPathsOutsideAnyDrive) {
    const struct {
        const char *path;
        uint32_t error;
    } cases[] = {
        {"c:\\data/f.txt", ERROR_INVALID_NAME},  {"c:\\data\\..\\/etc/passwd", ERROR_INVALID_NAME},
        {"c:\\data\\a\x01", ERROR_INVALID_NAME}, {"c:\\x:y", ERROR_INVALID_NAME},
        {"c:\\x*", ERROR_INVALID_NAME},          {"c:\\x?", ERROR_INVALID_NAME},
        {"c:\\x<", ERROR_INVALID_NAME},          {"c:\\x|", ERROR_INVALID_NAME},
        {"c:\\x\"", ERROR_INVALID_NAME},         {"\\etc\\passwd", ERROR_PATH_NOT_FOUND},
        {"etc\\passwd", ERROR_PATH_NOT_FOUND},   {"/etc/passwd", ERROR_PATH_NOT_FOUND},
        {"q:\\etc", ERROR_PATH_NOT_FOUND},       {"\\\\server\\share\\x", ERROR_BAD_NET_NAME},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.path);
        EXPECT_EQ(attr_fails(t.path), t.error);
        EXPECT_EQ(fails(win_create_directory(t.path)), t.error);
    }
    // A name ends at its NUL: what follows never reaches the disk.
    const char embedded[] = "c:\\data\\f.txt\0\\..\\..\\etc";
    EXPECT_EQ(win_get_file_attributes(embedded), FILE_ATTRIBUTE_NORMAL);
}

TEST(Case, ExactMatchFirstThenSmallestFoldedNameAndOutsideChangesSeen) {
    temp_drive c;
    write_file(c.host("Readme.TXT"), "one");
    mkdir(c.host("Sub").c_str(), 0755);
    write_file(c.host("Sub/x"), "x");
    EXPECT_EQ(attrs("c:\\README.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\sUB\\X"), FILE_ATTRIBUTE_NORMAL);
    // Two names differing only in case: the exact one wins, otherwise the
    // byte-wise smallest ("ReadMe.txt" < "Readme.TXT"), whatever the order.
    write_file(c.host("ReadMe.txt"), "two");
    EXPECT_EQ(names_of(list("c:\\readme.txt")), "ReadMe.txt");
    EXPECT_EQ(names_of(list("c:\\Readme.TXT")), "Readme.TXT");
    // The index follows names made and removed outside the layer.
    for (int i = 0; i < 50; i++) write_file(c.host("f" + std::to_string(i)), "");
    EXPECT_EQ(attrs("c:\\F7"), FILE_ATTRIBUTE_NORMAL);
    write_file(c.host("Late"), "");
    EXPECT_EQ(attrs("c:\\LATE"), FILE_ATTRIBUTE_NORMAL);
    unlink(c.host("f7").c_str());
    EXPECT_EQ(attr_fails("c:\\F7"), ERROR_FILE_NOT_FOUND);
}

TEST(Limits, LongNamesPathsAndMissingDriveDirectories) {
    temp_drive c;
    temp_drive e('E');
    EXPECT_EQ(fails(win_create_directory(("c:\\" + std::string(256, 'a')).c_str())),
              ERROR_FILENAME_EXCED_RANGE);
    std::string path = "c:";
    while (path.size() < 5000) path += "\\abcdefgh";
    EXPECT_EQ(attr_fails(path), ERROR_FILENAME_EXCED_RANGE);
    rmdir(e.dir().c_str());
    EXPECT_EQ(attr_fails("e:\\x"), ERROR_NOT_READY);
    mkdir(e.dir().c_str(), 0755);
    EXPECT_EQ(attrs("e:\\"), FILE_ATTRIBUTE_DIRECTORY);
}

// ---- the directory index ---------------------------------------------------

// Four threads create names in one directory, look each up under another
// case and rename every other one, while a fifth lists the directory: a
// created name is found under any case at once, a moved one is gone at once.
TEST(DirIndex, ConcurrentCreatesRenamesAndCaseLookups) {
    temp_drive c;
    ASSERT_TRUE(win_create_directory("c:\\Shared"));
    std::atomic<int> missing{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t, &missing] {
            for (int i = 0; i < 200; i++) {
                std::string id = std::to_string(t) + "_" + std::to_string(i);
                if (!create("c:\\shared\\File_" + id)) missing++;
                if (attrs("c:\\SHARED\\fILE_" + id) != FILE_ATTRIBUTE_NORMAL) missing++;
                if (i % 2) continue;
                if (!win_move_file(("c:\\shared\\FILE_" + id).c_str(),
                                   ("c:\\shared\\Moved_" + id).c_str()) ||
                    attrs("c:\\shared\\MOVED_" + id) != FILE_ATTRIBUTE_NORMAL ||
                    attrs("c:\\shared\\file_" + id) != INVALID_FILE_ATTRIBUTES)
                    missing++;
            }
        });
    std::thread lister([&stop] {
        while (!stop) {
            win_find_data d;
            win_find_handle h = win_find_first_file("c:\\shared\\*.*", &d);
            while (h && win_find_next_file(h, &d)) {
            }
            if (h) win_find_close(h);
        }
    });
    for (auto &th : threads) th.join();
    stop = true;
    lister.join();
    EXPECT_EQ(missing, 0);
    // More searches open at a time than the fixed pool holds still work.
    std::vector<win_find_handle> open;
    for (int i = 0; i < 40; i++) {
        win_find_data d;
        open.push_back(win_find_first_file("c:\\shared\\*.*", &d));
        ASSERT_NE(open.back(), nullptr);
    }
    for (auto h : open) EXPECT_TRUE(win_find_close(h));
}

// The index must drop names that the layer removes or renames away: a stale
// entry would make a later create under another case reuse the old name.
TEST(DirIndex, RemovedAndRenamedNamesLeaveTheIndex) {
    temp_drive c;
    for (const char *n : {"Foo", "Gone", "Twin", "TWIN"}) write_file(c.host(n), "");
    mkdir(c.host("Dir").c_str(), 0755);
    EXPECT_EQ(attrs("c:\\FOO"), FILE_ATTRIBUTE_NORMAL);  // builds the index
    ASSERT_TRUE(win_move_file("c:\\Foo", "c:\\bar"));
    ASSERT_TRUE(win_delete_file("c:\\Gone"));
    ASSERT_TRUE(win_remove_directory("c:\\Dir"));
    using names = std::pair<const char *, const char *>;
    for (auto [created, old] : {names{"FOO", "Foo"}, names{"gONE", "Gone"}, names{"dIR", "Dir"}}) {
        SCOPED_TRACE(created);
        ASSERT_TRUE(create(std::string("c:\\") + created));
        EXPECT_TRUE(c.has(created));
        EXPECT_FALSE(c.has(old));
    }
    EXPECT_EQ(attrs("c:\\BAR"), FILE_ATTRIBUTE_NORMAL);
    // Of two names differing only in case, removing the one the index shows
    // leaves the other one found.
    ASSERT_TRUE(win_delete_file("c:\\TWIN"));
    EXPECT_EQ(names_of(list("c:\\twin")), "Twin");
}

// A name in its exact case costs no scan; other cases cost one scan per
// directory, however many names are looked up or added through the layer.
TEST(DirIndex, ScansOnlyForOtherCasesAndOncePerDirectory) {
    temp_drive c;
    ASSERT_EQ(mkdir(c.host("Big").c_str(), 0755), 0);
    for (int i = 0; i < 500; i++) write_file(c.host("Big/Name" + std::to_string(i)), "");
    uint64_t before = dircache_scan_count();
    for (int i = 0; i < 500; i += 5)
        ASSERT_EQ(attrs("c:\\Big\\Name" + std::to_string(i)), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(dircache_scan_count(), before);
    for (int i = 0; i < 500; i += 5)
        ASSERT_EQ(attrs("c:\\BIG\\name" + std::to_string(i)), FILE_ATTRIBUTE_NORMAL);
    // One scan of the drive root (for "BIG") and one of Big itself.
    EXPECT_EQ(dircache_scan_count(), before + 2);
    before = dircache_scan_count();
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(create("c:\\Big\\New" + std::to_string(i)));
        if (i % 2) {
            ASSERT_TRUE(win_delete_file(("c:\\Big\\NAME" + std::to_string(i)).c_str()));
        }
    }
    EXPECT_EQ(attrs("c:\\Big\\NEW199"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(attrs("c:\\Big\\NAME199"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(dircache_scan_count(), before);
}

// ---- listings ---------------------------------------------------------------

TEST(Find, LinksDevicesAndWhatIsLeftOut) {
    temp_drive c;
    write_file(c.host("plain"), "x");
    ASSERT_EQ(symlink("plain", c.host("link").c_str()), 0);
    mkfifo(c.host("fifo").c_str(), 0644);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", c.host("sock").c_str());
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    write_file(c.host("back\\slash"), "x");
    write_file(c.host("co:lon"), "x");
    write_file(c.host(std::string(255, 'n')), "x");  // the host's longest name fits
    bool dev = mknod(c.host("zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
    auto all = list("c:\\*.*");
    close(s);
    for (const char *left_out : {"fifo", "sock", "back\\slash", "co:lon"})
        EXPECT_EQ(all.count(left_out), 0u) << left_out;
    EXPECT_EQ(all.count(std::string(255, 'n')), 1u);
    ASSERT_EQ(all.count("link"), 1u);
    EXPECT_EQ(all["link"].attributes, FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(all["link"].size_low, 5u);  // the link text "plain"
    if (dev) {
        ASSERT_EQ(all.count("zero"), 1u);
        EXPECT_EQ(all["zero"].attributes, FILE_ATTRIBUTE_SYSTEM);
        EXPECT_EQ(all["zero"].size_low, 32u);
    }
}

TEST(Find, DotsFirstExceptAtTheRootPatternsShortNamesTimesAndErrors) {
    temp_drive c;
    temp_drive e('E');  // an empty root has nothing to list
    mkdir(c.host("Dir").c_str(), 0755);
    write_file(c.host("Dir/LongFileName.text"), "abc");
    std::vector<std::string> order;
    auto all = list("c:\\dir\\*.*", &order);
    EXPECT_EQ(order, (std::vector<std::string>{".", "..", "LongFileName.text"}));
    EXPECT_EQ(all["."].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(all["LongFileName.text"].size_low, 3u);
    EXPECT_EQ(all["LongFileName.text"].attributes, FILE_ATTRIBUTE_NORMAL);
    order.clear();
    list("c:\\*.*", &order);
    EXPECT_EQ(order, std::vector<std::string>{"Dir"});
    write_file(c.host("Dir/SHORT.TXT"), "abc");
    write_file(c.host("Dir/other.c"), "");
    auto one = list("c:\\dir\\longfilename.TEXT");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_STREQ(one.begin()->second.name, "LongFileName.text");
    EXPECT_STREQ(one.begin()->second.short_name, "LONGFI~1.TEX");
    EXPECT_STREQ(list("c:\\dir\\SHORT.TXT")["SHORT.TXT"].short_name, "");
    EXPECT_EQ(list("c:\\dir\\*.t*").size(), 2u);
    EXPECT_EQ(list("c:\\dir\\?????.c").count("other.c"), 1u);
    const std::pair<const char *, uint32_t> cases[] = {{"c:\\dir\\none", ERROR_FILE_NOT_FOUND},
                                                       {"c:\\nodir\\*.*", ERROR_PATH_NOT_FOUND},
                                                       {"c:\\dir\\*.zip", ERROR_FILE_NOT_FOUND},
                                                       {"e:\\*.*", ERROR_FILE_NOT_FOUND}};
    for (auto [pattern, error] : cases) {
        win_find_data d;
        EXPECT_EQ(fails(win_find_first_file(pattern, &d) != nullptr), error) << pattern;
    }
    // Times are Windows file times.
    struct timespec ts[2] = {{1000000000, 0}, {1234567890, 500}};
    utimensat(AT_FDCWD, c.host("Dir/other.c").c_str(), ts, 0);
    win_find_data d = list("c:\\dir\\other.c")["other.c"];
    EXPECT_EQ(d.write_time, 116444736000000000ULL + 12345678900000000ULL + 5);
    EXPECT_EQ(d.access_time, 116444736000000000ULL + 10000000000000000ULL);
    EXPECT_NE(d.creation_time, 0u);
}

}  // namespace
