// The mount table: its bounds, the file "mounttab" (order, what comes back,
// where it lies, how it is replaced), and the host-name look-ups that fill
// it (one per address, a bounded number at once, never into a removed entry).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "mountd/mount_internal.h"
#include "platform/registry.h"
#include "support/mount_rig.h"

namespace {

using table = std::vector<std::pair<std::string, std::string>>;

export_entry *first_export() {
    return export_list;
}

TEST(MountTable, SaveWritesNewestFirstAndLoadReversesTheOrder) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data\n");
    mount_table_update("/c/data", mount_addr("10.0.0.1"), first_export());
    mount_table_update("/c/data", mount_addr("10.0.0.2"), first_export());
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000002 /c/data\na000001 /c/data\n");
    EXPECT_FALSE(rig.env.home.read("mounttab.tmp").size());
    mount_table_clear();
    mount_table_load();
    EXPECT_EQ(rig.table(), (table{{"10.0.0.1", "/c/data"}, {"10.0.0.2", "/c/data"}}));
}

TEST(MountTable, LoadKeepsOnlyWhatTheExportsStillAdmit) {
    mount_rig rig;
    for (const char *d : {"data/", "gone/", "open/"}) rig.env.make(d);
    rig.env.home.write("mounttab",
                       "c0a80105 /c/data\n"
                       "a000001 /share\n"          // an alias
                       "a000001 /c/gone\n"         // its export line was removed
                       "a000002 /c/open\n"         // no longer admits this client
                       "a000003 /c/open/x y\r\n"   // blanks and a CR line end
                       "\n"
                       "zz /c/data\n"              // not an address
                       "123456789 /c/data\n"       // more than 32 bits
                       "a000004\n"                 // no path
                       "a000005 " + std::string(1025, 'p') + "\n"
                       "  7f000001\t/c/data");     // no line end at the end
    rig.env.load("c:\\data -name:share\nc:\\open -alldirs 10.0.0.3\n");
    rig.env.log();
    mount_table_load();
    EXPECT_EQ(rig.table(), (table{{"127.0.0.1", "/c/data"},
                                  {"10.0.0.3", "/c/open/x y"},
                                  {"10.0.0.1", "/share"},
                                  {"192.168.1.5", "/c/data"}}));
    EXPECT_EQ(rig.env.log(),
              "mountd: name share --> /c/data\n"
              "mountd: path not in exports list /c/gone\n"
              "mountd: access denied /c/open clnt 200000a\n");
}

TEST(MountTable, SaveSkipsPathsTheLineFormatCannotCarry) {
    mount_rig rig;
    rig.env.load("c:\\data\n");
    mount_table_update("/c/data\n7f000001 /c/other", mount_addr("10.0.0.1"), first_export());
    mount_table_update("/c/data", mount_addr("10.0.0.1"), first_export());
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000001 /c/data\n");
}

TEST(MountTable, FileLiesBesideTheInodeTableButNeverOverIt) {
    mount_rig rig;
    std::string home = rig.env.home.path();
    const struct {
        std::string inode_path, expect;
    } cases[] = {
        {"", home + "mounttab"},
        {"/var/lib/nimbora/inodes.nfs", "/var/lib/nimbora/mounttab"},
        {"inodes.nfs", "mounttab"},
        {"/var/lib/nimbora/mounttab", home + "mounttab"},
        {"/var/lib/nimbora/mounttab.tmp", home + "mounttab"},
        {home + "mounttab", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inode_path);
        reg_write_string("nfsd", "InodePath", c.inode_path.empty() ? nullptr : c.inode_path.c_str());
        char file[1024];
        EXPECT_EQ(mount_table_file(file, sizeof file), !c.expect.empty());
        EXPECT_EQ(std::string(file), c.expect);
    }
    // With no place of its own the table is neither saved nor loaded.
    rig.env.home.write("mounttab", "inode table bytes");
    rig.env.load("c:\\\n");
    mount_table_update("/c", mount_addr("10.0.0.1"), first_export());
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "inode table bytes");
    reg_write_string("nfsd", "InodePath", nullptr);
}

TEST(MountTable, AFailedSaveKeepsTheOldFile) {
    mount_rig rig;
    rig.env.load("c:\\\n");
    rig.env.home.write("mounttab", "a000001 /c\n");
    // The temporary file cannot be made: a folder stands in its way.
    ASSERT_EQ(mkdir(rig.env.home.file("mounttab.tmp").c_str(), 0755), 0);
    mount_table_update("/c", mount_addr("10.0.0.2"), first_export());
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000001 /c\n");
    rmdir(rig.env.home.file("mounttab.tmp").c_str());
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "a000002 /c\n");
}

TEST(MountTable, BoundedPerClientAndInAll) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    uint32_t a = mount_addr("10.0.0.1");
    for (uint32_t i = 0; i < MOUNT_CLIENT_MAX + 10; i++)
        mount_table_update(("/c/d" + std::to_string(i)).c_str(), a, first_export());
    table t = rig.table();
    ASSERT_EQ(t.size(), MOUNT_CLIENT_MAX);
    EXPECT_EQ(t.front().second, "/c/d" + std::to_string(MOUNT_CLIENT_MAX + 9));
    EXPECT_EQ(t.back().second, "/c/d10") << "the oldest ten went";
    // A repeated mount is no new entry and pushes nothing out.
    mount_table_update("/c/d10", a, first_export());
    EXPECT_EQ(rig.table().size(), MOUNT_CLIENT_MAX);

    // Other clients fill the table up to its bound; then the oldest of all goes.
    uint32_t clients = MOUNT_TABLE_MAX / MOUNT_CLIENT_MAX + 1;
    for (uint32_t c = 2; c <= clients; c++)
        for (uint32_t i = 0; i < MOUNT_CLIENT_MAX; i++)
            mount_table_update(("/c/d" + std::to_string(i)).c_str(),
                               mount_addr(("10.0.1." + std::to_string(c)).c_str()), first_export());
    t = rig.table();
    EXPECT_EQ(t.size(), MOUNT_TABLE_MAX);
    EXPECT_EQ(t.back(), (std::pair<std::string, std::string>{"10.0.1.2", "/c/d0"}));
}

TEST(MountTable, OneLookupPerAddressOnBoundedThreads) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    mount_names_hold(true);
    for (int c = 1; c <= 20; c++) {
        std::string host = "10.0.2." + std::to_string(c);
        mount_names_set(mount_addr(host.c_str()), "h" + std::to_string(c));
        for (int i = 0; i < 50; i++)
            mount_table_update(("/c/p" + std::to_string(i)).c_str(), mount_addr(host.c_str()),
                               first_export());
    }
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    EXPECT_EQ(mount_lookup_running(), MOUNT_LOOKUP_THREADS);
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    // An address whose look-up was under way when more of its mounts came
    // is looked up once more; every other address once.
    EXPECT_GE(mount_names_calls(), 20u);
    EXPECT_LE(mount_names_calls(), 20u + MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_names_peak(), MOUNT_LOOKUP_THREADS);
    EXPECT_LE(mount_lookup_peak(), MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_lookup_running(), 0u) << "look-up threads end when the queue is empty";
    std::vector<std::string> hosts;
    mount_table_visit([](void *ctx, const mount_entry *e) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(e->host);
    }, &hosts);
    ASSERT_EQ(hosts.size(), 1000u);
    for (size_t i = 0; i < hosts.size(); i++) EXPECT_EQ(hosts[i], "h" + std::to_string(20 - i / 50));
}

std::vector<std::string> paths_and_hosts() {
    std::vector<std::string> out;
    mount_table_visit([](void *ctx, const mount_entry *e) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::string(e->path) + " " + e->host);
    }, &out);
    return out;
}

bool wait_running(uint32_t n) {
    for (int i = 0; i < 3000; i++) {
        if (mount_lookup_running() == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(MountTable, ALookupNeverTouchesARemovedEntry) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    uint32_t a = mount_addr("10.0.0.1");
    mount_names_set(a, "gone.example");
    mount_names_hold(true);
    mount_table_update("/c/x", a, first_export());
    ASSERT_TRUE(mount_names_wait_inside(1));
    mount_table_update("/c/x", a, nullptr);  // UMNT while the name is looked up
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_TRUE(paths_and_hosts().empty());
    EXPECT_EQ(mount_names_calls(), 1u);
}

TEST(MountTable, ALookupBegunBeforeARefreshDoesNotFillIt) {
    mount_rig rig;
    rig.env.load("c:\\ -alldirs\n");
    uint32_t a = mount_addr("10.0.0.1");
    mount_names_set(a, "old.example");
    mount_names_hold(true);
    mount_table_update("/c/y", a, first_export());
    ASSERT_TRUE(mount_names_wait_inside(1));
    mount_names_set(a, "new.example");
    mount_table_update("/c/y", a, first_export());  // mounted again: a fresh look-up
    ASSERT_TRUE(mount_names_wait_inside(2));
    mount_names_release(1);  // the first, stale look-up ends
    ASSERT_TRUE(wait_running(1));
    EXPECT_EQ(paths_and_hosts(), std::vector<std::string>{"/c/y "});
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(paths_and_hosts(), std::vector<std::string>{"/c/y new.example"});
    EXPECT_EQ(mount_names_calls(), 2u);
}

TEST(MountTable, StopDropsQueuedLookupsAndWaitsForRunningOnes) {
    mount_rig rig;
    rig.env.load("c:\\\n");
    mount_names_hold(true);
    for (int c = 1; c <= 5; c++) {
        uint32_t a = mount_addr(("10.0.3." + std::to_string(c)).c_str());
        mount_names_set(a, "n");
        mount_table_update("/c", a, first_export());
    }
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mount_names_hold(false);
    });
    mount_lookup_stop();
    release.join();
    EXPECT_EQ(mount_lookup_running(), 0u);
    EXPECT_EQ(mount_names_calls(), MOUNT_LOOKUP_THREADS) << "queued look-ups were dropped";
    // Later mounts look names up again.
    mount_table_update("/c", mount_addr("10.0.3.1"), first_export());
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(mount_names_calls(), MOUNT_LOOKUP_THREADS + 1);
}

}  // namespace
