// The MOUNT procedures on the wire, then the mount table: its file, its
// bounds, concurrent changes, and the host-name look-ups.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include "fh/fh.h"
#include "inode/inode.h"
#include "mountd/mount_internal.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "support/fd_child.h"
#include "support/mount_rig.h"

namespace {

using table = std::vector<std::string>;

// Refusals answer their status and record nothing; UMNT and UMNTALL change
// only the caller's mounts; each call's answer and log line.
TEST(MountProc, MntUmntAndUmntallInEachVersionAndRefusals) {
    mount_rig rig;
    for (const char *dir : {"data/", "open/", "open/a/"}) rig.env.make(dir);
    // E: is a removable drive without a medium: its folder does not exist.
    drive_map("E", rig.env.home.file("e").c_str(), DRIVE_REMOVABLE, 0);
    rig.env.load("c:\\data -name:share 127.0.0.2\nc:\\open -alldirs\ne:\\\n");
    uint8_t root[FH_SIZE];
    fh_make(inode_path_find("c:\\data"), export_list.load()->export_id, root);
    for (uint32_t v : {1u, 2u, 3u}) {
        // Status 0, then a 32-byte fhandle, or a 16-byte fhandle3 and AUTH_UNIX.
        std::vector<uint8_t> expect(4, 0), results;
        if (v == 3) rpc_msg_word(expect, FH3_SIZE);
        expect.insert(expect.end(), root, root + (v == 3 ? FH3_SIZE : FH_SIZE));
        if (v == 3) expect.insert(expect.end(), {0, 0, 0, 1, 0, 0, 0, 1});
        for (const char *path : {"/c/data", "/share"}) {
            EXPECT_EQ(rig.mnt("127.0.0.2", v, path, &results), 0u);
            EXPECT_EQ(results, expect) << path << " v" << v;
        }
        EXPECT_EQ(rig.mnt("127.0.0.3", v, "/c/data"), 13u);
        EXPECT_EQ(rig.mnt("127.0.0.2", v, "/e"), 19u);
        EXPECT_EQ(rig.mnt("127.0.0.2", v, "/c/open/../data"), 2u);  // ".." names no record
    }
    // The table keeps the path as sent; a repeated mount is one entry.
    EXPECT_EQ(rig.table(), (table{"127.0.0.2 /share", "127.0.0.2 /c/data"}));

    // Out of descriptors, MNT of an existing export still answers it (no
    // final NODEV, NOENT or ACCES for a passing shortage) in every version.
    std::vector<uint32_t> got = fd_child(64, [&](fd_taken &) {
        std::vector<uint32_t> statuses;
        for (uint32_t v : {1u, 2u, 3u}) statuses.push_back(rig.mnt("127.0.0.2", v, "/c/data"));
        return statuses;
    });
    EXPECT_EQ(got, std::vector<uint32_t>(3, 0u));

    for (const char *path : {"/c/open", "/c/open/a"}) ASSERT_EQ(rig.mnt("127.0.0.3", 1, path), 0u);
    EXPECT_EQ(rpc_msg_accept_status(rig.call("127.0.0.2", 3, 3, mount_dirpath("/share"))), 0u);
    EXPECT_EQ(rpc_msg_accept_status(rig.call("127.0.0.3", 2, 4)), 0u);
    EXPECT_EQ(rig.table(), table{"127.0.0.2 /c/data"});

    const std::string longest = "/" + std::string(1023, 'a');  // the longest path a call may name
    std::vector<uint8_t> too_long = mount_dirpath(longest + "a");
    const struct {
        uint32_t vers, proc;
        std::vector<uint8_t> args;
        uint32_t accept;
        std::string line;
    } cases[] = {
        {3, 1, mount_dirpath("/c/data"), 0, "mount3 request from 127.0.0.2 path /c/data\n"},
        {1, 1, too_long, 4, "mountd: cannot decode mount path\n"},
        {3, 1, {0, 0, 0, 7, '/', 'c'}, 4, "mountd: cannot decode mount path\n"},
        // A length that would wrap past the end; the padding may be missing;
        // the longest path and the empty one decode.
        {1, 1, {0xFF, 0xFF, 0xFF, 0xFC}, 4, "mountd: cannot decode mount path\n"},
        {2, 3, {0, 0, 0, 2, '/', 'c'}, 0, "unmount request from 127.0.0.2 path /c\n"},
        {2, 3, {0, 0, 0, 0}, 0, "unmount request from 127.0.0.2 path \n"},
        {2, 3, mount_dirpath(longest), 0, "unmount request from 127.0.0.2 path " + longest + "\n"},
        {2, 3, too_long, 4, "mountd: cannot decode unmount request\n"},
        {3, 7, {}, 3, ""},  // PATHCONF
    };
    rig.env.log();
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.vers) + "/" + std::to_string(c.proc));
        EXPECT_EQ(rpc_msg_accept_status(rig.call("127.0.0.2", c.vers, c.proc, c.args)), c.accept);
        EXPECT_EQ(rig.env.log(), c.line);
    }
}

TEST(MountProc, DumpAndExportAreCutToTheMessageAreaAndStayWellFormed) {
    mount_rig rig;
    std::string line = "c:\\ -alldirs -ro";
    std::vector<std::string> clients;
    for (int i = 1; i <= 128; i++)
        line += " " + clients.emplace_back("127.0.0." + std::to_string(i));
    rig.env.load(line + "\n");
    std::vector<std::string> paths;
    for (int i = 0; i < 40; i++)
        rig.mnt("127.0.0.2", 1,
                paths.emplace_back("/c/" + std::string(90, 'a') + std::to_string(i)));
    std::vector<std::vector<std::string>> dump = rig.list(2);
    ASSERT_GT(dump.size(), 5u);
    ASSERT_LT(dump.size(), 40u);
    for (size_t i = 0; i < dump.size(); i++) EXPECT_EQ(dump[i][1], paths[39 - i]);
    // Clients are cut, the options still follow them.
    std::vector<std::string> g = rig.list(5).at(0);
    ASSERT_GT(g.size(), 11u);
    ASSERT_LT(g.size(), 130u);
    std::vector<std::string> expect(clients.begin(), clients.begin() + long(g.size()) - 3);
    expect.insert(expect.begin(), "/c");
    expect.insert(expect.end(), {"-readonly", "-alldirs"});
    EXPECT_EQ(g, expect);
    // An entry whose host text and path exceed 784 bytes ends the list.
    std::string part(200, 'x'), longest = "/c/" + part + "/" + part + "/" + part + "/" + part;
    ASSERT_EQ(rig.mnt("127.0.0.2", 3, longest), 0u);
    EXPECT_TRUE(rig.list(2).empty());
    rig.env.load("");  // no exports: the end word alone
    EXPECT_EQ(mount_results(rig.call("127.0.0.1", 1, 5)), std::vector<uint8_t>(4, 0));
}

void mount(const std::string &path, const std::string &client) {
    mount_table_update(path.c_str(), inet_addr(client.c_str()), export_list);
}

// A rig whose one export admits every directory of drive C:.
class MountTable : public ::testing::Test {
   protected:
    void SetUp() override { rig.env.load("c:\\ -alldirs\n"); }
    mount_rig rig;
};

TEST_F(MountTable, SavedWholeBesideTheInodeTableNeverOverItAndLoadedAsAdmitted) {
    rig.env.load("c:\\data\n");
    mount("/c/data", "10.0.0.1");
    mount("/c/data", "10.0.0.2");
    mount("/c/data\n7f000001 /c/data", "10.0.0.3");  // cannot be written as one line
    mount_table_save();
    std::string saved = rig.env.home.read("mounttab");
    EXPECT_EQ(saved, "a000002 /c/data\na000001 /c/data\n");
    // Only what the exports admit, in lines of "address blank path", comes back.
    rig.env.home.write("mounttab", saved + "a000003 /c/gone\nzz /c/data\n123456789 /c/data\n");
    mount_table_clear();
    mount_table_load();
    EXPECT_EQ(rig.table(), (table{"10.0.0.1 /c/data", "10.0.0.2 /c/data"}));
    // "InodePath" naming the mount table's own file leaves it no place.
    reg_write_string("nfsd", "InodePath", rig.env.home.file("mounttab").c_str());
    rig.env.home.write("mounttab", "inode table");
    mount_table_save();
    EXPECT_EQ(rig.env.home.read("mounttab"), "inode table");
    // A save that cannot finish leaves no temporary file.
    reg_write_string("nfsd", "InodePath", nullptr);
    ASSERT_EQ(unlink(rig.env.home.file("mounttab").c_str()), 0);
    ASSERT_EQ(mkdir(rig.env.home.file("mounttab").c_str(), 0755), 0);
    rig.env.home.write("mounttab/keep", "");
    mount_table_save();
    for (const auto &entry : std::filesystem::directory_iterator(rig.env.home.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("mounttab.", 0), std::string::npos);
}

TEST_F(MountTable, BoundedInAll) {
    for (uint32_t c = 1; c <= MOUNT_TABLE_MAX / MOUNT_CLIENT_MAX + 1; c++)
        for (uint32_t i = 0; i < MOUNT_CLIENT_MAX; i++)
            mount("/c/" + std::to_string(i), "10.0.1." + std::to_string(c));
    table t = rig.table();
    EXPECT_EQ(t.size(), MOUNT_TABLE_MAX);
    EXPECT_EQ(t.back(), "10.0.1.2 /c/0");  // 10.0.1.1 went
}

// Four clients mount and unmount at once while look-ups fill names and a
// reader walks the table: each client's entries end as its own calls left
// them, newest first, at most MOUNT_CLIENT_MAX, every name filled.
TEST_F(MountTable, ConcurrentClientsEachEndWithTheirOwnMounts) {
    std::vector<std::vector<std::string>> expect(4), found(4);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) rig.table();
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        mount_names_set(inet_addr(("10.0.4." + std::to_string(i)).c_str()), "h");
        threads.emplace_back([i, &mine = expect[i]] {
            uint32_t client = inet_addr(("10.0.4." + std::to_string(i)).c_str());
            for (int j = 0; j < 1200; j++) {
                std::string path = "/c/" + std::to_string((j * 7 + i) % 400);
                auto at = std::find(mine.begin(), mine.end(), path);
                if (j == 900) {  // UMNTALL
                    mount_table_update(nullptr, client, nullptr);
                    mine.clear();
                } else if (j % 4 == 3) {
                    mount_table_update(path.c_str(), client, nullptr);
                    if (at != mine.end()) mine.erase(at);
                } else {
                    mount_table_update(path.c_str(), client, export_list);
                    if (at != mine.end()) continue;  // a repeated mount keeps its place
                    if (mine.size() == MOUNT_CLIENT_MAX) mine.pop_back();
                    mine.insert(mine.begin(), path);
                }
            }
        });
    }
    for (std::thread &t : threads) t.join();
    ASSERT_TRUE(mount_lookup_wait_idle(10000));
    done.store(true);
    reader.join();
    for (const std::string &row : rig.table()) {
        std::istringstream in(row);
        std::string client, path, name;
        in >> client >> path >> name;
        found.at(std::stoi(client.substr(7))).push_back(path);
        EXPECT_EQ(name, "h") << row;
    }
    EXPECT_EQ(found, expect);
}

// Many mounts of 20 addresses on held look-ups: one look-up each, on at most
// MOUNT_LOOKUP_THREADS threads that end with the queue. Then a stop drops
// what is queued and waits for what runs; later mounts look names up again.
TEST_F(MountTable, OneLookupPerAddressOnBoundedThreadsUntilAStop) {
    mount_names_hold(true);
    for (int c = 1; c <= 20; c++) {
        std::string client = "10.0.2." + std::to_string(c);
        mount_names_set(inet_addr(client.c_str()), "h" + std::to_string(c));
        for (int i = 0; i < 50; i++) mount("/c/" + std::to_string(i), client);
    }
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    // An address whose look-up was under way when more of its mounts came is
    // looked up once more; every other one once.
    uint32_t calls = mount_names_calls();
    EXPECT_GE(calls, 20u);
    EXPECT_LE(calls, 20u + MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_lookup_peak(), MOUNT_LOOKUP_THREADS);
    EXPECT_EQ(mount_lookup_running(), 0u) << "look-up threads end when the queue is empty";
    table t = rig.table();
    ASSERT_EQ(t.size(), 1000u);
    for (size_t i = 0; i < t.size(); i++)
        EXPECT_EQ(t[i], "10.0.2." + std::to_string(20 - i / 50) + " /c/" +
                            std::to_string(49 - i % 50) + " h" + std::to_string(20 - i / 50));

    mount_names_hold(true);
    for (int c = 1; c <= 5; c++) mount("/c", "10.0.3." + std::to_string(c));
    ASSERT_TRUE(mount_names_wait_inside(MOUNT_LOOKUP_THREADS));
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mount_names_hold(false);
    });
    mount_lookup_stop();
    release.join();
    EXPECT_EQ(mount_lookup_running(), 0u);
    EXPECT_EQ(mount_names_calls(), calls + MOUNT_LOOKUP_THREADS) << "queued look-ups were dropped";
    mount("/c", "10.0.3.1");
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(mount_names_calls(), calls + MOUNT_LOOKUP_THREADS + 1);
}

TEST_F(MountTable, ALookupNeverFillsARemovedOrRefreshedEntry) {
    uint32_t a = inet_addr("10.0.0.1");
    mount_names_set(a, "old.example");
    mount_names_hold(true);
    mount("/c/x", "10.0.0.1");
    ASSERT_TRUE(mount_names_wait_inside(1));
    mount_table_update("/c/x", a, nullptr);  // UMNT while the name is looked up
    mount_names_set(a, "new.example");
    mount("/c/y", "10.0.0.1");  // begun after the first look-up: needs its own
    ASSERT_TRUE(mount_names_wait_inside(2));
    mount_names_release(1);  // the first look-up ends
    for (int i = 0; i < 3000 && mount_lookup_running() != 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(mount_lookup_running(), 1u);
    EXPECT_EQ(rig.table(), table{"10.0.0.1 /c/y"});
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(rig.table(), table{"10.0.0.1 /c/y new.example"});
    EXPECT_EQ(mount_names_calls(), 2u);
}

}  // namespace
