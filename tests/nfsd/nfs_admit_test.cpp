// What an export lets through: a host that the exports file does not admit
// gets 13 (ACCES) however it came by the handle, with the same matching as
// MNT and its log line; exports without a list stay open; a read-only
// export answers 30 (ROFS) to every change and leaves the disk alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "nfsd/nfs.h"
#include "platform/bytes.h"
#include "support/drive_temp.h"
#include "support/nfs_rig.h"

namespace {

using toks = nfs_toks;

uint32_t status_of(nfs_rig &rig, uint32_t vers, uint32_t proc, const toks &args) {
    std::vector<uint32_t> r = nfs_results(rig.call(vers, proc, nfs_arg_bytes(rig, args)));
    return r.empty() ? 0xFFFFFFFF : r[0];
}

TEST(NfsAdmit, TheClientListDecidesForEveryRequest) {
    const struct {
        const char *exports, *client;
        uint32_t status;
    } cases[] = {
        {"c:\\ -maproot:0 127.0.0.1\n", "127.0.0.2", 13},
        {"c:\\ -maproot:0 localhost\n", "127.0.0.1", 0},
        {"c:\\ -maproot:0 -range 127.0.0.3 127.0.0.9\n", "127.0.0.2", 13},
        {"c:\\ -maproot:0 -range 127.0.0.1 127.0.0.9\n", "127.0.0.2", 0},
        {"c:\\ -maproot:0\n", "127.0.0.2", 0},
    };
    for (const auto &c : cases) {
        nfs_rig rig(c.exports, c.client);
        rig.tree.make("f.txt", "hello");
        // The handle a stranger can make without MNT: tag, export id (a CRC
        // of the export's line), inode number (a small offset), check word.
        uint32_t id = rig.tree.env.entries().at(0)->export_id;
        uint32_t inode = nfs_tree::inode_of(rig.tree.handle("c:\\f.txt"));
        std::string fh(32, '\0');
        const uint32_t words[] = {16, id, inode, id + inode};
        for (int i = 0; i < 4; i++) store_le32(reinterpret_cast<uint8_t *>(&fh[4 * i]), words[i]);
        rig.tree.log();
        std::string what = std::string(c.exports) + " from " + c.client;
        EXPECT_EQ(status_of(rig, NFS_V2, 1, {bytes(fh)}), c.status) << what;
        EXPECT_EQ(rig.tree.log(), c.status ? "mountd: access denied /c clnt 200007f\n" : "")
            << what;
        EXPECT_EQ(status_of(rig, NFS_V3, 1, {w(16), bytes(fh.substr(0, 16))}), c.status) << what;
    }
    // The public handle reaches the public export only for hosts on its list.
    for (const char *client : {"127.0.0.2", "127.0.0.1"}) {
        nfs_rig rig("c:\\ -public -maproot:0 127.0.0.1\n", client);
        rig.tree.make("f.txt", "hello");
        uint32_t expect = strcmp(client, "127.0.0.1") == 0 ? 0 : 13;
        EXPECT_EQ(status_of(rig, NFS_V2, 4, {bytes(std::string(32, '\0')), name("f.txt")}), expect);
        EXPECT_EQ(status_of(rig, NFS_V3, 3, {w(16), bytes(std::string(16, '\0')), name("f.txt")}),
                  expect);
    }
}

// A refused host changes nothing, whichever handle of a call names the
// closed export.
TEST(NfsAdmit, RefusedChangesLeaveTheDiskAlone) {
    nfs_rig rig("c:\\open -maproot:0\nc:\\closed -maproot:0 127.0.0.1\n", "127.0.0.2");
    for (const char *f : {"open/", "closed/", "closed/f.txt", "open/g.txt"}) rig.tree.make(f, "x");
    const std::string f = "c:\\closed\\f.txt", open = "c:\\open";
    const struct {
        uint32_t vers, proc;
        toks args;
    } calls[] = {
        {3, 7, {fh3(f, 1), hyper(0), w(3), w(2), name("abc")}},
        {2, 8, {fh2(f, 1), w(0), w(0), w(0), w(3), bytes("abc")}},
        {3, 15, {fh3(f, 1), fh3(open), name("f2.txt")}},
        {2, 12, {fh2(f, 1), fh2(open), name("f3.txt")}},
    };
    for (const auto &c : calls)
        EXPECT_EQ(status_of(rig, c.vers, c.proc, c.args), 13u) << c.vers << "/" << c.proc;
    EXPECT_EQ(read_file(rig.tree.host("closed/f.txt")), "x");
    EXPECT_NE(access(rig.tree.host("open/f2.txt").c_str(), F_OK), 0);
    EXPECT_NE(access(rig.tree.host("open/f3.txt").c_str(), F_OK), 0);
    EXPECT_EQ(status_of(rig, 3, 1, {fh3("c:\\open\\g.txt")}), 0u) << "the open export serves";
}

// Every change of the sample calls, aimed at names that exist where that
// would let it succeed, answers 30; no read does.
TEST(NfsAdmit, AReadOnlyExportAnswers30ToChangesAndLeavesTheDiskAlone) {
    nfs_rig rig("c:\\ -ro -maproot:0\n");
    for (const char *f : {"f.txt", "w.txt", "n2", "n3", "dir/", "d2/", "d3/"})
        rig.tree.make(f, "x");
    const std::set<uint32_t> changes[] = {{2, 8, 9, 10, 11, 12, 13, 14, 15},
                                          {2, 7, 8, 9, 10, 11, 12, 13, 14, 15, 21}};
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const nfs_sample &s : nfs_sample_calls(vers))
            EXPECT_EQ(status_of(rig, vers, s.proc, s.args) == 30, changes[vers - 2].count(s.proc))
                << vers << "/" << s.proc;
    EXPECT_EQ(read_file(rig.tree.host("w.txt")), "x");
    for (const char *gone : {"dir/m2", "dir/m3", "dir/l2", "dir/l3", "s2", "s3", "c3"})
        EXPECT_NE(access(rig.tree.host(gone).c_str(), F_OK), 0) << gone;
    for (const char *kept : {"n2", "n3", "d2", "d3"})
        EXPECT_EQ(access(rig.tree.host(kept).c_str(), F_OK), 0) << kept;
}

}  // namespace
