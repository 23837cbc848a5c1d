// The MOUNT procedures on the wire: handles per version, aliases, the
// refusals and their statuses, the medium of a removable drive, log lines,
// malformed and unknown calls, and the DUMP and EXPORT replies within the
// mount transport's message area.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

#include "fh/fh.h"
#include "inode/inode.h"
#include "mountd/mount_internal.h"
#include "platform/drive.h"
#include "support/mount_rig.h"
#include "support/rpc_msg.h"

namespace {

using rows = std::vector<mount_dump_row>;

std::vector<uint8_t> root_handle(const char *path, uint32_t export_id, uint32_t size) {
    uint8_t fh[FH_SIZE];
    fh_make(inode_path_find(path), export_id, fh);
    return std::vector<uint8_t>(fh, fh + size);
}

TEST(MountProc, TablesAreWellFormed) {
    EXPECT_TRUE(rpc_program_valid(&mount1_program));
    EXPECT_TRUE(rpc_program_valid(&mount3_program));
}

TEST(MountProc, MntAnswersTheRootHandleInEachVersionsForm) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data\n");
    uint32_t id = rig.env.entries()[0]->export_id;
    for (uint32_t v : {1u, 2u, 3u}) {
        SCOPED_TRACE(v);
        mount_rig::mnt_answer a = rig.mnt("127.0.0.2", v, "/c/data");
        EXPECT_EQ(a.status, 0u);
        EXPECT_EQ(a.fh, root_handle("c:\\data", id, v == 3 ? FH3_SIZE : FH_SIZE));
        EXPECT_EQ(a.flavors, v == 3 ? std::vector<uint32_t>{1} : std::vector<uint32_t>{});
    }
    EXPECT_EQ(rig.dump(), (rows{{"127.0.0.2", "/c/data"}}));
}

TEST(MountProc, MntByAliasGivesTheExportsHandleAndKeepsTheAliasInTheTable) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data -name:share\n");
    mount_rig::mnt_answer by_alias = rig.mnt("127.0.0.2", 3, "/share");
    EXPECT_EQ(by_alias.status, 0u);
    EXPECT_EQ(rig.env.log(),
              "mount3 request from 127.0.0.2 path /share\nmountd: name share --> /c/data\n");
    EXPECT_EQ(by_alias.fh, rig.mnt("127.0.0.2", 3, "/c/data").fh);
    EXPECT_EQ(rig.dump(), (rows{{"127.0.0.2", "/c/data"}, {"127.0.0.2", "/share"}}));
}

TEST(MountProc, RefusalsAnswerTheirStatusAndRecordNothing) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.make("open/");
    // E: is a removable drive without a medium: its folder does not exist.
    drive_map("E", rig.env.home.file("e").c_str(), DRIVE_REMOVABLE, 0);
    rig.env.load("c:\\data 127.0.0.2\nc:\\open -alldirs\ne:\\\n");
    const struct {
        const char *client, *path;
        uint32_t status;
    } cases[] = {
        {"127.0.0.2", "/c/other", 2},
        {"127.0.0.2", "/C/data", 2},  // drive letters match as stored
        {"127.0.0.3", "/c/data", 13},
        {"127.0.0.2", "/e", 19},
        {"127.0.0.2", "/c/open/..", 2},  // no inode: ".." never names a record
        {"127.0.0.2", "/c/open/../data", 2},
    };
    for (const auto &c : cases) {
        for (uint32_t v : {1u, 3u}) {
            SCOPED_TRACE(std::string(c.path) + " v" + std::to_string(v));
            EXPECT_EQ(rig.mnt(c.client, v, c.path).status, c.status);
        }
    }
    EXPECT_TRUE(rig.table().empty());
}

TEST(MountProc, RemovableMediumNoneThenInsertedThenReplaced) {
    mount_rig rig;
    std::string e = rig.env.home.file("e");
    drive_map("E", e.c_str(), DRIVE_REMOVABLE, 0x1111);
    rig.env.load("e:\\\n");
    EXPECT_EQ(rig.mnt("127.0.0.2", 1, "/e").status, 19u);

    ASSERT_EQ(mkdir(e.c_str(), 0755), 0);
    EXPECT_EQ(rig.mnt("127.0.0.2", 1, "/e").status, 0u);
    uint32_t old_file = inode_path_lookup("e:\\photos\\one.jpg");
    ASSERT_NE(old_file, 0u);

    drive_map("E", e.c_str(), DRIVE_REMOVABLE, 0x2222);  // another medium
    mount_rig::mnt_answer a = rig.mnt("127.0.0.2", 1, "/e");
    EXPECT_EQ(a.status, 0u);
    EXPECT_EQ(inode_path_find("e:\\photos\\one.jpg"), 0u) << "the old medium's files are forgotten";
    EXPECT_EQ(a.fh, root_handle("e:", rig.env.entries()[0]->export_id, FH_SIZE));
    EXPECT_EQ(rig.env.entries()[0]->volume_serial, 0x2222u);
}

TEST(MountProc, LogLinesOfEachProcedure) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data\n");
    const struct {
        uint32_t vers, proc;
        std::vector<uint8_t> args;
        std::string line;
    } cases[] = {
        {1, 1, mount_dirpath("/c/data"), "mount request from 127.0.0.2 path /c/data\n"},
        {2, 1, mount_dirpath("/c/data"), "mount request from 127.0.0.2 path /c/data\n"},
        {3, 1, mount_dirpath("/c/data"), "mount3 request from 127.0.0.2 path /c/data\n"},
        {1, 3, mount_dirpath("/c/data"), "unmount request from 127.0.0.2 path /c/data\n"},
        {3, 4, {}, "unmount all request from 200007f\n"},
        {1, 2, {}, "mount dump request from 200007f\n"},
        {3, 5, {}, "mount exports request from 200007f\n"},
        {1, 0, {}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(mount_accept_status(rig.call("127.0.0.2", c.vers, c.proc, c.args)), 0u);
        EXPECT_EQ(rig.env.log(), c.line);
    }
    // The "%x" form is the network-order word read as a little-endian number.
    EXPECT_EQ(mount_address_logged(mount_addr("192.168.1.5")), 0x501a8c0u);
}

TEST(MountProc, UndecodableAndUnknownCalls) {
    mount_rig rig;
    rig.env.load("c:\\data\n");
    rig.env.log_level(1);
    std::vector<uint8_t> too_long = mount_dirpath(std::string(1025, 'a'));
    std::vector<uint8_t> cut = mount_dirpath("/c/data");
    cut.resize(8);  // the length says 7, only 4 bytes follow
    const struct {
        uint32_t vers, proc;
        std::vector<uint8_t> args;
        uint32_t accept;
        std::string line;
    } cases[] = {
        {1, 1, too_long, 4, "mountd: cannot decode mount path\n"},
        {3, 1, cut, 4, "mountd: cannot decode mount path\n"},
        {3, 1, {}, 4, "mountd: cannot decode mount path\n"},
        {2, 3, too_long, 4, "mountd: cannot decode unmount request\n"},
        {3, 3, {}, 4, "mountd: cannot decode unmount request\n"},
        {1, 6, {}, 3, ""},  // EXPORTALL
        {3, 6, {}, 3, ""},
        {2, 7, {}, 3, ""},  // PATHCONF
        {3, 7, {}, 3, ""},
        {3, 0x10000, {}, 3, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.vers) + "/" + std::to_string(c.proc));
        EXPECT_EQ(mount_accept_status(rig.call("127.0.0.2", c.vers, c.proc, c.args)), c.accept);
        EXPECT_EQ(rig.env.log(), c.line);
    }
    // 1024 bytes decode (and name no export).
    EXPECT_EQ(rig.mnt("127.0.0.2", 3, std::string(1024, 'a')).status, 2u);
    EXPECT_TRUE(rig.table().empty());
}

TEST(MountProc, UmntAndUmntallChangeOnlyTheCallersMounts) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.make("other/");
    rig.env.load("c:\\data\nc:\\other\n");
    rig.mnt("127.0.0.2", 1, "/c/data");
    rig.mnt("127.0.0.2", 3, "/c/data");  // the same mount again: one entry
    rig.mnt("127.0.0.3", 1, "/c/data");
    rig.mnt("127.0.0.2", 1, "/c/other");
    using table = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(rig.table(), (table{{"127.0.0.2", "/c/other"},
                                  {"127.0.0.3", "/c/data"},
                                  {"127.0.0.2", "/c/data"}}));
    rig.umnt("127.0.0.2", "/c/never");
    rig.umnt("127.0.0.4", "/c/data");
    EXPECT_EQ(rig.table().size(), 3u);
    rig.umnt("127.0.0.2", "/c/other", 3);
    EXPECT_EQ(rig.table(), (table{{"127.0.0.3", "/c/data"}, {"127.0.0.2", "/c/data"}}));
    rig.mnt("127.0.0.2", 1, "/c/other");
    rig.umntall("127.0.0.2", 2);
    EXPECT_EQ(rig.table(), (table{{"127.0.0.3", "/c/data"}}));
}

TEST(MountProc, DumpShowsTheHostNameOnceFoundAndTheDottedAddressUntilThen) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data\n");
    mount_names_set(mount_addr("127.0.0.2"), "alpha.example");
    mount_names_hold(true);
    rig.mnt("127.0.0.2", 1, "/c/data");
    rig.mnt("127.0.0.3", 1, "/c/data");  // has no name
    EXPECT_EQ(rig.dump(), (rows{{"127.0.0.3", "/c/data"}, {"127.0.0.2", "/c/data"}}));
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(rig.dump(), (rows{{"127.0.0.3", "/c/data"}, {"alpha.example", "/c/data"}}));
    // A repeated mount empties the name and looks it up again.
    mount_names_hold(true);
    rig.mnt("127.0.0.2", 1, "/c/data");
    EXPECT_EQ(rig.dump()[1], (mount_dump_row{"127.0.0.2", "/c/data"}));
    mount_names_hold(false);
    ASSERT_TRUE(mount_lookup_wait_idle(3000));
    EXPECT_EQ(rig.dump()[1], (mount_dump_row{"alpha.example", "/c/data"}));
}

TEST(MountProc, ExportOptionTexts) {
    mount_rig rig;
    for (const char *d : {"data/", "a/", "b/", "w/"}) rig.env.make(d);
    using groups = std::vector<std::string>;
    const struct {
        std::string line;
        std::string dir;
        groups expect;
    } cases[] = {
        {"c:\\data -ro -umask:022 -maproot:0:0 10.0.0.1", "/c/data",
         {"10.0.0.1", "-readonly", "-umask:022", "-maproot:0,0"}},
        {"c:\\data -readonly", "/c/data", {"-readonly"}},
        {"c:\\a -alldirs -public -lowercase -mapall:1000 -name:alpha 10.0.0.2 10.0.0.1", "/alpha",
         {"10.0.0.2", "10.0.0.1", "-alldirs", "-public", "-lowercase", "-mapall:1000"}},
        {"c:\\b -maproot:-2 -mapall:1000:100 -umask:0", "/c/b",
         {"-umask:00", "-maproot:65534", "-mapall:1000,100"}},
        {"c:\\b -range 10.0.0.1 10.0.0.9 10.0.1.1", "/c/b",
         {"10.0.0.1", "10.0.0.9", "10.0.1.1", "10.0.1.1", "-range"}},
        {"c:\\w -webnfs", "/c/w", {"-readonly", "-public", "-mapall:65534"}},
        {"c:\\", "/c", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        rig.env.load(c.line + "\n");
        ASSERT_EQ(rig.env.entries().size(), 1u);
        EXPECT_EQ(rig.exports(), (std::vector<mount_export_row>{{c.dir, c.expect}}));
    }
    rig.env.load("c:\\data -ro\nc:\\a 10.0.0.7\n");
    EXPECT_EQ(rig.exports(3), (std::vector<mount_export_row>{{"/c/data", {"-readonly"}},
                                                              {"/c/a", {"10.0.0.7"}}}));
    rig.env.load("");
    EXPECT_EQ(mount_results(rig.call("127.0.0.1", 1, 5)), std::vector<uint8_t>(4, 0));
}

// The host layer reports every volume as case-preserving, so the bit that a
// case-insensitive volume leaves is set here the way the volume refresh
// sets it: the listing shows it although the exports line did not say so.
TEST(MountProc, ExportShowsLowercaseLearntFromTheVolume) {
    mount_rig rig;
    rig.env.make("data/");
    rig.env.load("c:\\data -ro\n");
    export_entry *e = rig.env.entries()[0];
    std::atomic_ref<uint32_t>(e->flags).fetch_or(EXP_LOWERCASE);
    EXPECT_EQ(rig.exports(), (std::vector<mount_export_row>{{"/c/data", {"-readonly", "-lowercase"}}}));
}

TEST(MountProc, DumpIsCutToTheMessageAreaAndStaysWellFormed) {
    mount_rig rig;
    rig.env.make("open/");
    rig.env.load("c:\\open -alldirs\n");
    std::vector<std::string> paths;
    for (int i = 0; i < 40; i++) {
        paths.push_back("/c/open/" + std::string(90, char('a' + i % 26)) + std::to_string(i));
        ASSERT_EQ(rig.mnt("127.0.0.2", 1, paths.back()).status, 0u);
    }
    std::vector<uint8_t> reply = rig.call("127.0.0.1", 1, 2);
    EXPECT_LE(reply.size(), rig.transport()->size);
    rows dump = rig.dump();
    ASSERT_GT(dump.size(), 5u);
    ASSERT_LT(dump.size(), 40u);
    for (size_t i = 0; i < dump.size(); i++) EXPECT_EQ(dump[i].path, paths[39 - i]);
    // The next entry would not have fitted with the end word.
    uint32_t next = uint32_t(paths[39 - dump.size()].size());
    size_t entry = 4 + 4 + 12 + 4 + next + xdr_pad(next);
    EXPECT_GT(reply.size() + entry, rig.transport()->size);

    // An entry whose host text and path exceed 784 bytes ends the list.
    std::string longest = "/c/open/" + std::string(200, 'x') + "/" + std::string(200, 'y') + "/" +
                          std::string(200, 'z') + "/" + std::string(200, 'w');
    ASSERT_EQ(rig.mnt("127.0.0.2", 3, longest).status, 0u);
    EXPECT_EQ(rig.dump(), rows{});
}

TEST(MountProc, ExportIsCutToTheMessageAreaAndKeepsTheOptions) {
    mount_rig rig;
    rig.env.make("data/");
    std::string line = "c:\\data -ro -maproot:0:0";
    std::vector<std::string> clients;
    for (int i = 1; i <= 128; i++) {
        clients.push_back("10.0." + std::to_string(i / 200) + "." + std::to_string(i));
        line += " " + clients.back();
    }
    rig.env.load(line + "\n");
    std::vector<uint8_t> reply = rig.call("127.0.0.1", 2, 5);
    EXPECT_LE(reply.size(), rig.transport()->size);
    std::vector<mount_export_row> list = rig.exports();
    ASSERT_EQ(list.size(), 1u);
    std::vector<std::string> &g = list[0].groups;
    ASSERT_GE(g.size(), 10u);
    ASSERT_LT(g.size(), 130u);
    EXPECT_EQ(std::vector<std::string>(g.end() - 2, g.end()),
              (std::vector<std::string>{"-readonly", "-maproot:0,0"}));
    EXPECT_EQ(std::vector<std::string>(g.begin(), g.end() - 2),
              std::vector<std::string>(clients.begin(), clients.begin() + long(g.size()) - 2));

    // Many exports: the list ends with the last one that fits whole.
    std::string many;
    for (int i = 0; i < 100; i++) {
        std::string dir = "d" + std::to_string(i) + std::string(40, 'x');
        rig.env.make(dir + "/");
        many += "c:\\" + dir + " -alldirs\n";
    }
    rig.env.load(many);
    ASSERT_EQ(rig.env.entries().size(), 100u);
    list = rig.exports(3);
    ASSERT_GT(list.size(), 5u);
    ASSERT_LT(list.size(), 100u);
    for (size_t i = 0; i < list.size(); i++)
        EXPECT_EQ(list[i].dir, "/c/d" + std::to_string(i) + std::string(40, 'x'));
}

}  // namespace
