// The rules of the settings pages on Apply, seen in the settings store.
#include "ui/pages_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/registry.h"
#include "support/home.h"

namespace {

using form = std::map<std::string, std::string>;

const char *field(void *ctx, const char *name) {
    const form &f = *static_cast<form *>(ctx);
    auto it = f.find(name);
    return it == f.end() ? nullptr : it->second.c_str();
}

// The NFS page as it comes with every box checked and default numbers.
form nfs_defaults() {
    return {{"Mount-Port", "1058"}, {"Port", "2049"}, {"Threads", "4"}, {"Datasize", "8192"},
            {"UDP", "1"},  {"TCP", "1"},  {"Version2", "1"}, {"Version3", "1"},
            {"NFS2Write", "1"}, {"SoftLinks", "1"}, {"HardLinks", "1"}};
}

std::string stored(const char *name) {
    char buf[64];
    reg_read_string("nfsd", name, "<none>", buf, sizeof buf);
    return buf;
}

TEST(PageSettings, NumbersFallBackClampAndDefaultsAreRemoved) {
    test_home home;
    ASSERT_TRUE(reg_write_string("nfsd", "Log", "3"));  // not on a page: never touched
    ASSERT_TRUE(reg_write_string("nfsd", "Threads", "9"));
    const struct {
        const char *name, *typed, *want;
    } cases[] = {
        {"Port", "abc", "<none>"},         // unparsable: the default, which is not stored
        {"Port", "2050", "2050"},
        {"Port", " 70000 ", "4464"},       // 16 bits
        {"Port", "12x", "<none>"},
        {"Mount-Port", "", "<none>"},
        {"Mount-Port", "635", "635"},
        {"Threads", "100", "32"},
        {"Threads", "0", "1"},
        {"Threads", "abc", "1"},           // unparsable keeps what is stored
        {"Threads", "4", "<none>"},
        {"Datasize", "10", "256"},
        {"Datasize", "99999999999", "256"},  // too large to parse: the stored value stays
        {"Datasize", "70000", "65535"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.typed);
        form f = nfs_defaults();
        f[c.name] = c.typed;
        ASSERT_TRUE(page_settings_apply(0, field, &f));
        EXPECT_EQ(stored(c.name), c.want);
    }
    EXPECT_EQ(stored("Log"), "3");
}

TEST(PageSettings, BoxesKeepOneTransportAndOneVersion) {
    test_home home;
    form f = nfs_defaults();
    f.erase("UDP");
    f.erase("TCP");
    f.erase("Version3");
    f.erase("NFS2Write");  // unchecked "Async write": written through
    f.erase("SoftLinks");
    ASSERT_TRUE(page_settings_apply(0, field, &f));
    EXPECT_NE(stored("UDP") == "0" && stored("TCP") == "0", true);
    EXPECT_EQ(stored("Version3"), "0");
    EXPECT_EQ(stored("Version2"), "<none>");
    EXPECT_EQ(stored("NFS2Write"), "2");
    EXPECT_EQ(stored("SoftLinks"), "0");
    f = nfs_defaults();
    f.erase("Version2");
    f.erase("Version3");
    ASSERT_TRUE(page_settings_apply(0, field, &f));
    EXPECT_NE(stored("Version2") == "0" && stored("Version3") == "0", true);
    EXPECT_EQ(stored("NFS2Write"), "<none>");  // checked again: the default 0
}

TEST(PageSettings, ServerPageAndWhatThePagesShow) {
    test_home home;
    form f = {{"PortMapper", "1"}, {"Remote", "1"}, {"CharSet", "2"}};
    ASSERT_TRUE(page_settings_apply(1, field, &f));
    EXPECT_EQ(stored("PortMapper"), "<none>");
    EXPECT_EQ(stored("Remote"), "1");
    EXPECT_EQ(stored("Lowercase"), "0");
    EXPECT_EQ(stored("CharSet"), "2");
    EXPECT_EQ(stored("Port"), "<none>");  // the other page is left alone
    f = {{"CharSet", "7"}};
    ASSERT_TRUE(page_settings_apply(1, field, &f));
    EXPECT_EQ(stored("CharSet"), "<none>");
    EXPECT_EQ(stored("PortMapper"), "0");

    ASSERT_TRUE(reg_write_string("nfsd", "NFS2Write", "2"));
    for (uint32_t i = 0; i < page_settings_count; i++) {
        std::string name = page_settings[i].name;
        const char *want = name == "NFS2Write" ? "0"  // the box is unchecked
                           : name == "Port"    ? "2049"
                           : name == "Remote"  ? "0"
                                               : nullptr;
        if (want) {
            EXPECT_EQ(page_setting_shown(i), want) << name;
        }
    }
}

}  // namespace
