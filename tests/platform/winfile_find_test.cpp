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
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], ".");
    EXPECT_EQ(order[1], "..");
    EXPECT_EQ(all["."].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(all["a.txt"].size_low, 5u);
    EXPECT_EQ(all["a.txt"].attributes, FILE_ATTRIBUTE_NORMAL);
    order.clear();
    list("c:\\*.*", &order);
    EXPECT_EQ(order, std::vector<std::string>{"d"});
    // An empty root has nothing to list.
    temp_drive e('E');
    win_find_data d;
    EXPECT_EQ(win_find_first_file("e:\\*.*", &d), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
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
    EXPECT_EQ(all.count("fifo"), 0u);
    EXPECT_EQ(all.count("sock"), 0u);
    EXPECT_EQ(all.count("back\\slash"), 0u);
    EXPECT_EQ(all.count("co:lon"), 0u);
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

TEST(Find, ExactPathPatternsAndErrors) {
    temp_drive c;
    mkdir(c.host("Dir").c_str(), 0755);
    write_file(c.host("Dir/LongFileName.text"), "abc");
    write_file(c.host("Dir/SHORT.TXT"), "abc");
    write_file(c.host("Dir/other.c"), "");
    win_find_data d;
    win_find_handle h = win_find_first_file("c:\\dir\\longfilename.TEXT", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.name, "LongFileName.text");
    EXPECT_STREQ(d.short_name, "LONGFI~1.TEX");
    EXPECT_FALSE(win_find_next_file(h, &d));
    EXPECT_EQ(win_last_error(), ERROR_NO_MORE_FILES);
    win_find_close(h);
    h = win_find_first_file("c:\\dir\\SHORT.TXT", &d);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(d.short_name, "");
    win_find_close(h);

    auto txt = list("c:\\dir\\*.t*");
    EXPECT_EQ(txt.size(), 2u);
    EXPECT_EQ(list("c:\\dir\\?????.c").count("other.c"), 1u);

    EXPECT_EQ(win_find_first_file("c:\\dir\\none", &d), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(win_find_first_file("c:\\nodir\\*.*", &d), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(win_find_first_file("c:\\dir\\*.zip", &d), nullptr);
    EXPECT_EQ(win_last_error(), ERROR_FILE_NOT_FOUND);
}

TEST(Find, TimesAreWindowsFileTimes) {
    temp_drive c;
    write_file(c.host("f"), "");
    struct timespec ts[2] = {{1000000000, 0}, {1234567890, 500}};
    utimensat(AT_FDCWD, c.host("f").c_str(), ts, 0);
    win_find_data d;
    win_find_handle h = win_find_first_file("c:\\f", &d);
    ASSERT_NE(h, nullptr);
    win_find_close(h);
    EXPECT_EQ(d.write_time, 116444736000000000ULL + 12345678900000000ULL + 5);
    EXPECT_EQ(d.access_time, 116444736000000000ULL + 10000000000000000ULL);
    uint32_t ns;
    EXPECT_EQ(win_time_to_unix(d.write_time, &ns), 1234567890);
    EXPECT_EQ(ns, 500u);
    EXPECT_NE(d.creation_time, 0u);
}

}  // namespace
