// Admission of every NFS request by its export's client list: a host that
// the exports file does not admit gets 13 (ACCES) however it came by the
// handle, with the same matching as MNT and its log line; exports without a
// list stay open.
#include <gtest/gtest.h>

#include <cstring>

#include "nfsd/nfs.h"
#include "platform/bytes.h"
#include "support/drive_temp.h"
#include "support/nfs_rig.h"

namespace {

using toks = std::vector<nfs_tok>;

// The handle a stranger can make without MNT: the export id is a CRC of
// the export's line and the inode number a small offset in the table.
std::string forged(uint32_t export_id, uint32_t inode) {
    uint8_t fh[32] = {};
    store_le32(fh, 16);
    store_le32(fh + 4, export_id);
    store_le32(fh + 8, inode);
    store_le32(fh + 12, export_id + inode);
    return std::string(reinterpret_cast<char *>(fh), 32);
}

TEST(NfsAdmit, TheClientListDecidesForEveryRequest) {
    const struct {
        const char *exports;
        const char *client;
        uint32_t status;
        const char *log;  // at level 2; null: nothing
    } cases[] = {
        {"c:\\ -maproot:0 127.0.0.1\n", "127.0.0.2", 13, "mountd: access denied /c clnt 200007f\n"},
        {"c:\\ -maproot:0 127.0.0.1\n", "127.0.0.1", 0, nullptr},
        {"c:\\ -maproot:0 localhost\n", "127.0.0.1", 0, nullptr},
        {"c:\\ -maproot:0 -range 127.0.0.3 127.0.0.9\n", "127.0.0.2", 13,
         "mountd: access denied /c clnt 200007f\n"},
        {"c:\\ -maproot:0 -range 127.0.0.1 127.0.0.9\n", "127.0.0.2", 0, nullptr},
        {"c:\\ -maproot:0\n", "127.0.0.2", 0, nullptr},
    };
    for (const auto &c : cases) {
        nfs_rig rig(c.exports, c.client);
        rig.tree.make("f.txt", "hello");
        const export_entry *e = rig.tree.env.entries().at(0);
        uint32_t inode = nfs_tree::inode_of(rig.fh("c:\\f.txt"));
        std::string fh = forged(e->export_id, inode);
        rig.tree.log();
        std::vector<uint32_t> v2 = nfs_results(rig.call(NFS_V2, 1, nfs_arg_bytes(rig, {bytes(fh)})));
        std::string log2 = rig.tree.log();
        std::vector<uint32_t> v3 = nfs_results(
            rig.call(NFS_V3, 1, nfs_arg_bytes(rig, {w(16), bytes(fh.substr(0, 16))})));
        std::string what = std::string(c.exports) + " from " + c.client;
        ASSERT_FALSE(v2.empty()) << what;
        ASSERT_FALSE(v3.empty()) << what;
        EXPECT_EQ(v2[0], c.status) << what;
        EXPECT_EQ(v3[0], c.status) << what;
        EXPECT_EQ(v2.size(), c.status ? 1u : 18u) << what;
        EXPECT_EQ(log2, c.log ? c.log : "") << what;
    }
}

// A refused host changes nothing, whichever handle of a call names the
// closed export.
TEST(NfsAdmit, RefusedChangesLeaveTheDiskAlone) {
    nfs_rig rig("c:\\open -maproot:0\nc:\\closed -maproot:0 127.0.0.1\n", "127.0.0.2");
    rig.tree.make("open/");
    rig.tree.make("closed/");
    rig.tree.make("closed/f.txt", "hello");
    rig.tree.make("open/g.txt", "open");
    const std::string f = "c:\\closed\\f.txt", closed = "c:\\closed", open = "c:\\open";
    const struct {
        uint32_t vers, proc;
        toks args;
    } calls[] = {
        {3, 7, {fh3(f, 1), hyper(0), w(3), w(2), name("abc")}},
        {2, 8, {fh2(f, 1), w(0), w(0), w(0), w(3), bytes("abc")}},
        {3, 12, {fh3(closed, 1), name("f.txt")}},
        {3, 15, {fh3(f, 1), fh3(open), name("f2.txt")}},
        {2, 12, {fh2(f, 1), fh2(open), name("f3.txt")}},
        {3, 6, {fh3(f, 1), hyper(0), w(5)}},
    };
    for (const auto &c : calls) {
        std::vector<uint32_t> r = nfs_results(rig.call(c.vers, c.proc, nfs_arg_bytes(rig, c.args)));
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r[0], 13u) << "version " << c.vers << " procedure " << c.proc;
    }
    EXPECT_EQ(read_file(rig.tree.host("closed/f.txt")), "hello");
    EXPECT_NE(access(rig.tree.host("open/f2.txt").c_str(), F_OK), 0);
    EXPECT_NE(access(rig.tree.host("open/f3.txt").c_str(), F_OK), 0);
    // The open export serves the same host.
    EXPECT_EQ(nfs_results(rig.call(3, 1, nfs_arg_bytes(rig, {fh3("c:\\open\\g.txt")}))).at(0), 0u);
}

// The public handle reaches the public export only for hosts on its list.
TEST(NfsAdmit, ThePublicHandleFollowsItsExportsList) {
    for (const char *client : {"127.0.0.2", "127.0.0.1"}) {
        nfs_rig rig("c:\\ -public -maproot:0 127.0.0.1\n", client);
        rig.tree.make("f.txt", "hello");
        uint32_t expect = strcmp(client, "127.0.0.1") == 0 ? 0 : 13;
        std::vector<uint32_t> v2 = nfs_results(
            rig.call(NFS_V2, 4, nfs_arg_bytes(rig, {bytes(std::string(32, '\0')), name("f.txt")})));
        std::vector<uint32_t> v3 = nfs_results(rig.call(
            NFS_V3, 3, nfs_arg_bytes(rig, {w(16), bytes(std::string(16, '\0')), name("f.txt")})));
        EXPECT_EQ(v2.at(0), expect) << client;
        EXPECT_EQ(v3.at(0), expect) << client;
    }
}

}  // namespace
