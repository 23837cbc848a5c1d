// NFS versions 2 and 3 end to end: one call of every procedure of both
// versions goes to the assembled test server over UDP (and one over TCP),
// after a MOUNT version 1 for the root handle, and every reply dissects
// cleanly in tshark, a decoder of the protocols written apart from ours. The
// words of each reply are pinned in nfs_proc_test; real clients (nfs-ls,
// nfs-cp) meet the whole program in server_clients_test.
#include <gtest/gtest.h>

#include "nfsd/nfs.h"
#include "rpc/clnt.h"
#include "support/nfs_capture.h"
#include "support/nfs_rig.h"
#include "support/nfs_server.h"
#include "support/rpc_msg.h"

namespace {

const std::string ROOT = "c:", A = "c:\\dir\\a.txt";

TEST(NfsdWire, EveryProcedureAnswersOverTheWireAndDissects) {
    nfs_server server("c:\\ -maproot:0\n");
    const nfs_tree &tree = server.tree;
    tree.make("f.txt", "hello");
    tree.make("w.txt");
    tree.make("dir/");
    tree.make("dir/a.txt", "a");
    nfs_capture capture;
    uint32_t xid = 0x200;

    // MOUNT version 1 answers the 32-byte root handle.
    std::vector<uint8_t> mnt;
    rpc_msg_word(mnt, 2);
    rpc_msg_opaque(mnt, "/c", 2);
    std::vector<uint32_t> mounted =
        nfs_results(nfs_udp_call("127.0.0.1", NFS_TEST_MOUNT_PORT,
                                 nfs_call_msg(xid++, MOUNT_PROG, 1, 1, mnt)));
    EXPECT_EQ(nfs_match(tree, {w(0), fh2(ROOT)}, mounted), "");

    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> reply = nfs_udp_call(
                "127.0.0.1", NFS_TEST_PORT,
                nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(tree, args)));
            EXPECT_EQ(nfs_accept_status(reply), RPC_SUCCESS) << vers << "/" << proc;
        }

    // The same program over TCP: one record each way.
    sock_t s = rpc_tcp_connect(NFS_TEST_PORT);
    ASSERT_NE(s, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(
        s, nfs_call_msg(xid++, NFS_PROG, NFS_V2, 1, nfs_arg_bytes(tree, {fh2(A)}))));
    EXPECT_EQ(nfs_match(tree, {w(0), fattr2(A, 1, 0100644, 1)}, nfs_results(rpc_tcp_recv(s))), "");
    sock_close(s);

    if (!capture.ok()) GTEST_SKIP() << "tshark could not capture";
    capture.stop();
    EXPECT_EQ(capture.malformed(), "");
    for (uint32_t vers : {NFS_V2, NFS_V3}) {
        std::set<std::string> answered = capture.answered("nfs.procedure_v" + std::to_string(vers));
        for (const auto &sample : nfs_sample_calls(vers))
            EXPECT_TRUE(answered.count(std::to_string(sample.proc))) << vers << "/" << sample.proc;
    }
}

}  // namespace
