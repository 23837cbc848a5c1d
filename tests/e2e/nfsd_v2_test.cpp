// NFS versions 2 and 3 end to end: one call of every procedure of both
// versions goes to the assembled test server over UDP (and one over TCP),
// after a MOUNT version 1 for the root handle, and every reply dissects
// cleanly in tshark, a decoder of the protocols written apart from ours.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "nfsd/nfs.h"
#include "rpc/clnt.h"
#include "support/home.h"
#include "support/nfs_rig.h"
#include "support/nfs_server.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

const std::string ROOT = "c:", A = "c:\\dir\\a.txt";

// tshark capturing the NFS, MOUNT and portmapper ports on the loopback.
class capture {
   public:
    capture() {
        pid_ = server_spawn(
            {"tshark", "-q", "-i", "lo", "-w", file_, "-f", "port 2049 or port 1058 or port 111"},
            file_ + ".err");
        // Capturing begins when tshark says so; then let it settle.
        for (int i = 0; i < 200 && !started_ && pid_ > 0; i++) {
            if (server_wait_child(pid_, 100) >= 0) pid_ = -1;
            started_ = read_file(file_ + ".err").find("Capture started") != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~capture() {
        stop();
        unlink(file_.c_str());
        unlink((file_ + ".err").c_str());
    }
    bool ok() const { return started_; }
    void stop() {
        if (pid_ <= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the kernel's buffer
        kill(pid_, SIGINT);
        server_wait_child(pid_, 20000);
        pid_ = -1;
    }
    // One line per packet that matches `filter`: the field's value. Port
    // 2049 is NFS to the dissector already; the MOUNT port is made RPC.
    std::string fields(const std::string &filter, const std::string &field) {
        return server_shell("sh -c \"tshark -r " + file_ +
                            " -d udp.port==1058,rpc -d tcp.port==1058,rpc -Y '" + filter +
                            "' -T fields -e " + field + " 2>/dev/null\"");
    }

   private:
    std::string file_ = "/tmp/nfsd_wire_" + std::to_string(getpid()) + ".pcap";
    pid_t pid_;
    bool started_ = false;
};

TEST(NfsdWire, EveryProcedureAnswersOverTheWireAndDissects) {
    nfs_server server("c:\\ -maproot:0\n");
    const nfs_tree &tree = server.tree;
    tree.make("f.txt", "hello");
    tree.make("w.txt");
    tree.make("dir/");
    tree.make("dir/a.txt", "a");
    capture wire;
    uint32_t xid = 0x200;

    // MOUNT version 1 answers the 32-byte root handle.
    std::vector<uint8_t> mnt;
    rpc_msg_word(mnt, 2);
    rpc_msg_opaque(mnt, "/c", 2);
    std::vector<uint32_t> mounted = nfs_results(
        nfs_udp_call("127.0.0.1", NFS_TEST_MOUNT_PORT, nfs_call_msg(xid++, MOUNT_PROG, 1, 1, mnt)));
    EXPECT_EQ(nfs_match(tree, {w(0), fh2(ROOT)}, mounted), "");

    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> reply =
                nfs_udp_call("127.0.0.1", NFS_TEST_PORT,
                             nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(tree, args)));
            EXPECT_EQ(nfs_accept_status(reply), RPC_SUCCESS) << vers << "/" << proc;
        }

    // The same program over TCP: one record each way.
    sock_t s = rpc_tcp_connect(NFS_TEST_PORT);
    ASSERT_NE(s, SOCK_INVALID);
    ASSERT_TRUE(
        rpc_tcp_send(s, nfs_call_msg(xid++, NFS_PROG, NFS_V2, 1, nfs_arg_bytes(tree, {fh2(A)}))));
    EXPECT_EQ(nfs_match(tree, {w(0), fattr2(A, 1, 0100644, 1)}, nfs_results(rpc_tcp_recv(s))), "");
    sock_close(s);

    ASSERT_TRUE(wire.ok()) << "tshark could not capture";
    wire.stop();
    EXPECT_EQ(wire.fields("rpc.msgtyp == 1 && (_ws.malformed || _ws.expert.severity == error)",
                          "frame.number"),
              "");
    for (uint32_t vers : {NFS_V2, NFS_V3}) {
        std::string v = std::to_string(vers);
        std::istringstream in(wire.fields("rpc.msgtyp == 1 && nfs", "nfs.procedure_v" + v));
        std::set<std::string> answered;
        for (std::string line; std::getline(in, line);) answered.insert(line);
        for (const auto &sample : nfs_sample_calls(vers))
            EXPECT_TRUE(answered.count(std::to_string(sample.proc))) << v << "/" << sample.proc;
    }
}

}  // namespace
