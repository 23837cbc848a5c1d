// The portmapper against the real rpcinfo, in a network namespace of its
// own: a test program registers itself through rpc_register over UDP and
// TCP, rpcinfo lists and reaches it through the portmapper, and after
// rpc_unregister it is gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <thread>

#include "pmap/pmap.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

std::string run(const std::string &command) {
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

// The rows of `rpcinfo -p`: program, version, protocol, port.
std::vector<std::string> rows(const std::string &listing) {
    std::vector<std::string> out;
    std::istringstream in(listing);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string prog, vers, prot, port;
        if (f >> prog >> vers >> prot >> port)
            out.push_back(prog + " " + vers + " " + prot + " " + port);
    }
    return out;
}

class PmapRpcinfo : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "port 111 needs root";
        ASSERT_TRUE(pmap_start());
        xprt_stop.store(0);
        xprt_reset();
        rpc_pmap_call = clnt_pmap_call;
        sock_t u = udp_socket(0, 0);
        udp_port_ = rpc_sock_port(u);
        xprt *uxp = xprt_create(u, RPC_UDP, udp_port_, 1000);
        sock_t t = tcp_listen_socket(nullptr, 0);
        tcp_port_ = rpc_sock_port(t);
        xprt *txp = xprt_create(t, RPC_TCP, tcp_port_, 0);
        txp->size = 1000;
        ASSERT_TRUE(rpc_register(uxp, TOY_PROG, 1, toy_program, RPC_UDP));
        ASSERT_TRUE(rpc_register(txp, TOY_PROG, 1, toy_program, RPC_TCP));
        xprt_add(uxp);
        xprt_add(txp);
        loop_ = std::thread(select_loop);
    }
    void TearDown() override {
        if (geteuid() != 0) return;
        xprt_close_all();
        loop_.join();
        pmap_stop();
        rpc_pmap_call = nullptr;
    }
    std::string prog() const { return std::to_string(TOY_PROG); }
    uint16_t udp_port_ = 0, tcp_port_ = 0;
    std::thread loop_;
};

TEST_F(PmapRpcinfo, ListsThePortmapperFirstThenRegistrationsInOrder) {
    std::string listing = run("rpcinfo -p 127.0.0.1");
    std::vector<std::string> expect = {"100000 2 tcp 111", "100000 2 udp 111",
                                       prog() + " 1 udp " + std::to_string(udp_port_),
                                       prog() + " 1 tcp " + std::to_string(tcp_port_)};
    EXPECT_EQ(rows(listing), expect) << listing;
}

TEST_F(PmapRpcinfo, ReachesTheProgramOverUdpAndTcpThenLosesItAfterUnregister) {
    std::string udp = run("rpcinfo -u 127.0.0.1 " + prog() + " 1");
    EXPECT_NE(udp.find("version 1 ready and waiting"), std::string::npos) << udp;
    std::string tcp = run("rpcinfo -t 127.0.0.1 " + prog() + " 1");
    EXPECT_NE(tcp.find("version 1 ready and waiting"), std::string::npos) << tcp;
    std::string portmapper = run("rpcinfo -u 127.0.0.1 100000 2");
    EXPECT_NE(portmapper.find("version 2 ready and waiting"), std::string::npos) << portmapper;

    rpc_unregister(TOY_PROG, 1, RPC_UDP);
    rpc_unregister(TOY_PROG, 1, RPC_TCP);
    std::string listing = run("rpcinfo -p 127.0.0.1");
    EXPECT_EQ(rows(listing), (std::vector<std::string>{"100000 2 tcp 111", "100000 2 udp 111"}))
        << listing;
    std::string gone = run("rpcinfo -u 127.0.0.1 " + prog() + " 1");
    EXPECT_EQ(gone.find("ready and waiting"), std::string::npos) << gone;
}

}  // namespace
