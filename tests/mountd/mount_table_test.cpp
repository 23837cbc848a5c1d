// The mount table: the file "mounttab" (order, what comes back, where it
// lies, how it is replaced), the table's bounds, and the host-name look-ups
// (one per address, on bounded threads, never into a removed or refreshed
// entry).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "mountd/mount_internal.h"
#include "platform/registry.h"
#include "support/mount_rig.h"

namespace {

using table = std::vector<std::pair<std::string, std::string>>;

void mount(const char *path, const char *client) {
    mount_table_update(path, mount_addr(client), export_list);
}

std::vector<std::string> hosts() {
    std::vector<std::string> out;
    mount_table_visit([](void *ctx, const mount_entry *e) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(e->path) + " " + e->host);
    }, &out);
    return out;
}

TEST(MountTable, SaveAndLoad) {
    mount_rig rig;
    rig.env.load("c:\\data\n");
    mount("/c/data", "10.0.0.1");
    mount("/c/data", "10.0.0.2");
    mount("/c/data\n7f000001 /c/data", "10.0.0.3");  // cannot be written as one line
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000002 /c/data\na000001 /c/data\n");
    mount_table_clear();
    mount_table_load();
    EXPECT_EQ(rig.table(), (table{{"10.0.0.1", "/c/data"}, {"10.0.0.2", "/c/data"}}));

    // Only what the exports still admit comes back, aliases included; lines
    // that are not "address blank path" are skipped.
    rig.env.make("data/");
    rig.env.make("open/");
    rig.env.home.write("mounttab",
                       "c0a80105 /c/data\na000001 /share\na000001 /c/gone\na000002 /c/open\n"
                       "a000003 /c/open/x y\r\n\nzz /c/data\n123456789 /c/data\na000004\n"
                       "a000005 " + std::string(1025, 'p') + "\n  7f000001\t/c/data");
    rig.env.load("c:\\data -name:share\nc:\\open -alldirs 10.0.0.3\n");
    mount_table_clear();
    mount_table_load();
    EXPECT_EQ(rig.table(), (table{{"127.0.0.1", "/c/data"}, {"10.0.0.3", "/c/open/x y"},
                                  {"10.0.0.1", "/share"}, {"192.168.1.5", "/c/data"}}));
}

TEST(MountTable, FileLiesBesideTheInodeTableNeverOverItAndIsReplacedWhole) {
    mount_rig rig;
    std::string home = rig.env.home.path();
    const struct {
        std::string inode_path, expect;
    } cases[] = {
        {"", home + "mounttab"},
        {"/var/lib/nimbora/inodes.nfs", "/var/lib/nimbora/mounttab"},
        {"inodes.nfs", "mounttab"},
        {"/var/lib/nimbora/mounttab", home + "mounttab"},
        {"/var/lib/nimbora/mounttab.tmp", "/var/lib/nimbora/mounttab"},
        {home + "mounttab", ""},  // no place of its own: neither saved nor loaded
    };
    for (const auto &c : cases) {
        reg_write_string("nfsd", "InodePath", c.inode_path.empty() ? nullptr : c.inode_path.c_str());
        char file[1024];
        EXPECT_EQ(mount_table_file(file, sizeof file), !c.expect.empty()) << c.inode_path;
        EXPECT_EQ(std::string(file), c.expect);
    }
    rig.env.load("c:\\\n");
    rig.env.home.write("mounttab", "inode table");
    mount("/c", "10.0.0.2");
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "inode table");

    // A save that cannot finish changes nothing and leaves no temporary file.
    reg_write_string("nfsd", "InodePath", nullptr);
    ASSERT_EQ(unlink(rig.env.home.file("mounttab").c_str()), 0);
    ASSERT_EQ(mkdir(rig.env.home.file("mounttab").c_str(), 0755), 0);
    rig.env.home.write("mounttab/keep", "");
    mount_table_save();
    for (const auto &entry : std::filesystem::directory_iterator(rig.env.home.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("mounttab.", 0), std::string::npos);
    std::filesystem::remove_all(rig.env.home.file("mounttab"));
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000002 /c\n");
}

TEST(MountTable, BoundedPerClientAndInAll) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    for (uint32_t i = 0; i < MOUNT_CLIENT_MAX + 10; i++) mount(("/c/" + std::to_string(i)).c_str(), "10.0.0.1");
    mount("/c/10", "10.0.0.1");  // a repeated mount pushes nothing out
    table t = rig.table();
    ASSERT_EQ(t.size(), MOUNT_CLIENT_MAX);
    EXPECT_EQ(t.front().second, "/c/" + std::to_string(MOUNT_CLIENT_MAX + 9));
    EXPECT_EQ(t.back().second, "/c/10") << "the oldest ten went";
    for (uint32_t c = 2; c <= MOUNT_TABLE_MAX / MOUNT_CLIENT_MAX + 1; c++)
        for (uint32_t i = 0; i < MOUNT_CLIENT_MAX; i++)
            mount(("/c/" + std::to_string(i)).c_str(), ("10.0.1." + std::to_string(c)).c_str());
    t = rig.table();
    EXPECT_EQ(t.size(), MOUNT_TABLE_MAX);
    EXPECT_EQ(t.back(), (std::pair<std::string, std::string>{"10.0.1.2", "/c/0"}));
}

TEST(MountTable, OneLookupPerAddressOnBoundedThreads) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    mount_names_hold(true);
    for (int c = 1; c <= 20; c++) {
        std::string client = "10.0.2." + std::to_string(c);
        mount_names_set(mount_addr(client.c_str()), "h" + std::to_string(c));
        for (int i = 0; i < 50; i++) mount(("/c/" + std::to_string(i)).c_str(), client.c_str());
    }
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    // An address whose look-up was under way when more of its mounts came is
    // looked up once more; every other one once.
    EXPECT_GE(mount_names_calls(), 20u);
    EXPECT_LE(mount_names_calls(), 20u + MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_lookup_peak(), MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_lookup_running(), 0u) << "look-up threads end when the queue is empty";
    std::vector<std::string> h = hosts();
    ASSERT_EQ(h.size(), 1000u);
    for (size_t i = 0; i < h.size(); i++)
        EXPECT_EQ(h[i], "/c/" + std::to_string(49 - i % 50) + " h" + std::to_string(20 - i / 50));
}

bool wait_running(uint32_t n) {
    for (int i = 0; i < 3000 && mount_lookup_running() != n; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return mount_lookup_running() == n;
}

TEST(MountTable, ALookupNeverFillsARemovedOrRefreshedEntry) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    uint32_t a = mount_addr("10.0.0.1");
    mount_names_set(a, "old.example");
    mount_names_hold(true);
    mount("/c/x", "10.0.0.1");
    ASSERT_TRUE(mount_names_wait_inside(1));
    mount_table_update("/c/x", a, nullptr);  // UMNT while the name is looked up
    mount_names_set(a, "new.example");
    mount("/c/y", "10.0.0.1");  // begun after the first look-up: needs its own
    ASSERT_TRUE(mount_names_wait_inside(2));
    mount_names_release(1);  // the first look-up ends
    ASSERT_TRUE(wait_running(1));
    EXPECT_EQ(hosts(), std::vector<std::string>{"/c/y "});
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(hosts(), std::vector<std::string>{"/c/y new.example"});
    EXPECT_EQ(mount_names_calls(), 2u);
}

TEST(MountTable, StopDropsQueuedLookupsAndWaitsForRunningOnes) {
    mount_rig rig;
    rig.env.load("c:\\\n");
    mount_names_hold(true);
    for (int c = 1; c <= 5; c++) mount("/c", ("10.0.3." + std::to_string(c)).c_str());
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mount_names_hold(false);
    });
    mount_lookup_stop();
    release.join();
    EXPECT_EQ(mount_lookup_running(), 0u);
    EXPECT_EQ(mount_names_calls(), MOUNT_LOOKUP_THREADS) << "queued look-ups were dropped";
    mount("/c", "10.0.3.1");  // later mounts look names up again
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(mount_names_calls(), MOUNT_LOOKUP_THREADS + 1);
}

}  // namespace
