// NFS versions 2 and 3 on the wire: one call of every procedure of both
// versions, and every reply dissects cleanly in tshark, a decoder of the
// protocols written apart from ours.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "nfsd/nfs.h"
#include "support/home.h"
#include "support/nfs_rig.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

// tshark capturing the datagrams of a server's port on the loopback, which
// it reads as RPC.
class capture {
   public:
    explicit capture(uint16_t port) : port_(std::to_string(port)) {
        pid_ = server_spawn({"tshark", "-q", "-i", "lo", "-w", file_, "-f", "udp port " + port_},
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
    // One line per packet that matches `filter`: the field's value.
    std::string fields(const std::string &filter, const std::string &field) {
        return server_shell("sh -c \"tshark -r " + file_ + " -d udp.port==" + port_ + ",rpc -Y '" +
                            filter + "' -T fields -e " + field + " 2>/dev/null\"");
    }

   private:
    std::string port_, file_ = "/tmp/nfsd_wire_" + std::to_string(getpid()) + ".pcap";
    pid_t pid_;
    bool started_ = false;
};

TEST(NfsdWire, EveryProcedureAnswersOverTheWireAndDissects) {
    nfs_rig rig;
    rig.tree.make("f.txt", "hello");
    rig.tree.make("w.txt");
    rig.tree.make("dir/");
    rig.tree.make("dir/a.txt", "a");
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(rpc_sock_port(rig.xp->sock));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    capture wire(rpc_sock_port(rig.xp->sock));
    uint32_t xid = 0x200;
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> msg =
                nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(rig, args));
            // The rig hands the call to the dispatcher itself; the same bytes
            // cross the loopback too, so that the capture holds the call each
            // reply answers.
            sendto(rig.client, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&server),
                   sizeof server);
            EXPECT_EQ(rpc_msg_accept_status(rig.send(msg)), RPC_SUCCESS) << vers << "/" << proc;
        }

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
