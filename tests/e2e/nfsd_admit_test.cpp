// The export's client list over the network: a second address on the
// namespace's loopback plays a host that the exports file does not admit.
// It cannot mount, and a handle it forges gets 13 (ACCES) from NFS; the
// listed host gets its answers.
#include <gtest/gtest.h>

#include "nfsd/nfs.h"
#include "platform/bytes.h"
#include "support/nfs_mnt.h"
#include "support/nfs_rig.h"
#include "support/nfs_server.h"
#include "support/rpc_msg.h"

namespace {

// What a stranger can put together: tag, export id (a CRC of the export's
// line), inode number (a small offset), check.
std::vector<uint8_t> forged_v3(uint32_t export_id, uint32_t inode) {
    std::vector<uint8_t> args;
    rpc_msg_word(args, 16);
    uint8_t fh[16];
    store_le32(fh, 16);
    store_le32(fh + 4, export_id);
    store_le32(fh + 8, inode);
    store_le32(fh + 12, export_id + inode);
    args.insert(args.end(), fh, fh + 16);
    return args;
}

TEST(NfsdAdmit, AHostOffTheListGets13ForAForgedHandle) {
    nfs_server server("c:\\ -maproot:0 127.0.0.1\n");
    server.tree.make("f.txt", "hello");
    const export_entry *e = server.tree.env.entries().at(0);
    uint32_t inode = nfs_tree::inode_of(server.tree.handle("c:\\f.txt"));
    std::vector<uint8_t> args = forged_v3(e->export_id, inode);

    std::vector<uint8_t> mnt;
    rpc_msg_word(mnt, 2);
    rpc_msg_opaque(mnt, "/c", 2);
    const struct {
        const char *from;
        uint32_t mount, getattr;
    } hosts[] = {{"127.0.0.2", 13, 13}, {"127.0.0.1", 0, 0}};
    uint32_t xid = 0x300;
    for (const auto &h : hosts) {
        std::vector<uint32_t> m = nfs_results(nfs_udp_call(
            h.from, NFS_TEST_MOUNT_PORT, nfs_call_msg(xid++, NFS_MNT_PROG, 3, 1, mnt)));
        ASSERT_FALSE(m.empty()) << h.from;
        EXPECT_EQ(m[0], h.mount) << h.from;
        std::vector<uint32_t> r = nfs_results(
            nfs_udp_call(h.from, NFS_TEST_PORT, nfs_call_msg(xid++, NFS_PROG, NFS_V3, 1, args)));
        ASSERT_FALSE(r.empty()) << h.from;
        EXPECT_EQ(r[0], h.getattr) << h.from;
        EXPECT_EQ(r.size(), h.getattr ? 1u : 22u) << h.from;
    }
    EXPECT_NE(server.tree.env.log().find("mountd: access denied /c clnt 200007f\n"),
              std::string::npos);
}

}  // namespace
