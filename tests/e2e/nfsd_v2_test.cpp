// NFS version 2 end to end: no packaged client speaks it, so raw calls go
// to the assembled test server over UDP (and one over TCP), after a MOUNT
// version 1 for the root handle; the replies are compared word for word
// and every one of them dissects cleanly in tshark.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <set>
#include <sstream>

#include "nfsd/nfs.h"
#include "rpc/clnt.h"
#include "support/drive_temp.h"
#include "support/nfs_capture.h"
#include "support/nfs_rig.h"
#include "support/nfs_server.h"
#include "support/rpc_msg.h"

namespace {

using toks = nfs_toks;
const std::string ROOT = "c:", F = "c:\\f.txt", SUB = "c:\\sub", LN = "c:\\ln",
                  NEW = "c:\\new.txt", LIST = "c:\\list", A = "c:\\list\\a.txt";


std::set<std::string> lines(const std::string &text) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.insert(line);
    return out;
}

TEST(NfsdV2, RawCallsGetTheRepliesTheProtocolLaysOut) {
    nfs_server server("c:\\ -maproot:0\n");
    const nfs_tree &tree = server.tree;
    tree.make("f.txt", "hello");
    tree.make("list/");
    tree.make("list/a.txt", "a");
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

    const struct {
        const char *what;
        uint32_t proc;
        toks args;
        toks reply;
    } rows[] = {
        {"getattr", 1, {fh2(ROOT)}, {w(0), fattr2(ROOT, 2, 040755, 4096)}},
        {"lookup", 4, {fh2(ROOT), name("f.txt")}, {w(0), fh2(F), fattr2(F, 1, 0100644, 5)}},
        {"read", 6, {fh2(F), w(0), w(100), w(0)}, {w(0), fattr2(F, 1, 0100644, 5), name("hello")}},
        {"create", 9, toks{fh2(ROOT), name("new.txt")} + nfs_sattr2(0100644),
         {w(0), fh2(NEW), fattr2(NEW, 1, 0100644, 0)}},
        {"write", 8, {fh2(NEW), w(0), w(0), w(0), name("data")}, {w(0), fattr2(NEW, 1, 0100644, 4)}},
        {"mkdir", 14, toks{fh2(ROOT), name("sub")} + nfs_sattr2(), {w(0), fh2(SUB), fattr2(SUB, 2, 040755, 4096)}},
        {"rename", 11, {fh2(ROOT), name("new.txt"), fh2(SUB), name("moved.txt")}, {w(0)}},
        {"link", 12, {fh2(F), fh2(SUB), name("hard.txt")}, {w(0)}},
        {"symlink", 13, toks{fh2(ROOT), name("ln"), name("f.txt")} + nfs_sattr2(), {w(0)}},
        {"readlink", 5, {fh2(LN)}, {w(0), name("f.txt")}},
        {"setattr", 2, toks{fh2(F)} + nfs_sattr2(0444), {w(0), fattr2(F, 1, 0100444, 5)}},
        {"readdir", 16, {fh2(LIST), w(0), w(4096)},
         {w(0), w(1), ino(LIST), name("."), w(1), w(1), ino(ROOT), name(".."), w(2), w(1), ino(A),
          name("a.txt"), w(3), w(0), w(1)}},
        {"statfs", 17, {fh2(ROOT)}, {w(0), w(8192), w(4096), any(3)}},
        {"remove", 10, {fh2(ROOT), name("ln")}, {w(0)}},
        {"rmdir of a full directory", 15, {fh2(ROOT), name("sub")}, {w(66)}},
        {"remove in it", 10, {fh2(SUB), name("moved.txt")}, {w(0)}},
        {"remove the other", 10, {fh2(SUB), name("hard.txt")}, {w(0)}},
        {"rmdir", 15, {fh2(ROOT), name("sub")}, {w(0)}},
    };
    for (const auto &r : rows) {
        std::vector<uint8_t> reply =
            nfs_udp_call("127.0.0.1", NFS_TEST_PORT,
                         nfs_call_msg(xid++, NFS_PROG, NFS_V2, r.proc, nfs_arg_bytes(tree, r.args)));
        EXPECT_EQ(nfs_match(tree, r.reply, nfs_results(reply)), "") << r.what;
    }
    EXPECT_EQ(read_file(tree.host("f.txt")), "hello");
    EXPECT_NE(access(tree.host("sub").c_str(), F_OK), 0);

    // The same program over TCP: one record each way.
    sock_t s = rpc_tcp_connect(NFS_TEST_PORT);
    ASSERT_NE(s, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(
        s, nfs_call_msg(xid++, NFS_PROG, NFS_V2, 1, nfs_arg_bytes(tree, {fh2(A)}))));
    EXPECT_EQ(nfs_match(tree, {w(0), fattr2(A, 1, 0100644, 1)}, nfs_results(rpc_tcp_recv(s))), "");
    sock_close(s);

    if (!capture.ok()) GTEST_SKIP() << "tshark could not capture";
    capture.stop();
    EXPECT_EQ(capture.fields("_ws.malformed || _ws.expert.severity == error", "frame.number"), "");
    std::set<std::string> answered =
        lines(capture.fields("rpc.msgtyp == 1 && nfs", "nfs.procedure_v2"));
    for (const char *p : {"1", "2", "4", "5", "6", "8", "9", "10", "11", "12", "13", "14", "15",
                          "16", "17"})
        EXPECT_TRUE(answered.count(p)) << "no reply to procedure " << p;
}

}  // namespace
