// FindFirstFile / FindNextFile listings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "platform/winfile.h"
#include "support/drive_temp.h"

namespace {

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

TEST(Find, DotsFirstExceptAtTheRoot) {
    temp_drive c;
    mkdir(c.host("d").c_str(), 0755);
    write_file(c.host("d/a.txt"), "12345");
    std::vector<std::string> order;
    auto all = list("c:\\d\\*.*", &order);
    EXPECT_EQ(order, (std::vector<std::string>{".", "..", "a.txt"}));
    EXPECT_EQ(all["."].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(all["a.txt"].size_low, 5u);
    EXPECT_EQ(all["a.txt"].attributes, FILE_ATTRIBUTE_NORMAL);
    order.clear();
    list("c:\\*.*", &order);
    EXPECT_EQ(order, std::vector<std::string>{"d"});
    // An empty root has nothing to list.
    temp_drive e('E');
    win_find_data d;
    EXPECT_EQ(fails(win_find_first_file("e:\\*.*", &d) != nullptr), ERROR_FILE_NOT_FOUND);
}

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

TEST(Find, ExactPathsPatternsShortNamesAndErrors) {
    temp_drive c;
    mkdir(c.host("Dir").c_str(), 0755);
    write_file(c.host("Dir/LongFileName.text"), "abc");
    write_file(c.host("Dir/SHORT.TXT"), "abc");
    write_file(c.host("Dir/other.c"), "");
    auto one = list("c:\\dir\\longfilename.TEXT");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_STREQ(one.begin()->second.name, "LongFileName.text");
    EXPECT_STREQ(one.begin()->second.short_name, "LONGFI~1.TEX");
    EXPECT_STREQ(list("c:\\dir\\SHORT.TXT")["SHORT.TXT"].short_name, "");
    EXPECT_EQ(list("c:\\dir\\*.t*").size(), 2u);
    EXPECT_EQ(list("c:\\dir\\?????.c").count("other.c"), 1u);
    const struct {
        const char *pattern;
        uint32_t error;
    } cases[] = {{"c:\\dir\\none", ERROR_FILE_NOT_FOUND},
                 {"c:\\nodir\\*.*", ERROR_PATH_NOT_FOUND},
                 {"c:\\dir\\*.zip", ERROR_FILE_NOT_FOUND}};
    for (const auto &t : cases) {
        win_find_data d;
        EXPECT_EQ(fails(win_find_first_file(t.pattern, &d) != nullptr), t.error) << t.pattern;
    }
}

TEST(Find, TimesAreWindowsFileTimes) {
    temp_drive c;
    write_file(c.host("f"), "");
    struct timespec ts[2] = {{1000000000, 0}, {1234567890, 500}};
    utimensat(AT_FDCWD, c.host("f").c_str(), ts, 0);
    win_find_data d = list("c:\\f")["f"];
    EXPECT_EQ(d.write_time, 116444736000000000ULL + 12345678900000000ULL + 5);
    EXPECT_EQ(d.access_time, 116444736000000000ULL + 10000000000000000ULL);
    EXPECT_NE(d.creation_time, 0u);
}

}  // namespace
