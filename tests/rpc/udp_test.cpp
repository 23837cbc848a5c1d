// The UDP transport: worker threads on one socket serving calls in
// parallel, oversized datagrams, receive errors and the stop flag.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;

class UdpWorkers : public ::testing::Test {
   protected:
    void SetUp() override {
        xprt_stop.store(0);
        toy_reset();
        ASSERT_TRUE(reg.ok);
    }
    void TearDown() override {
        // Workers see the flag after their next receive: wake each one.
        xprt_stop.store(1);
        for (int i = 0; i < 50 && udp_workers_running.load() > 0; i++) {
            rpc_udp_call(port, {0}, 0);
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(udp_workers_running.load(), 0);
        xprt_stop.store(0);
    }
    static xprt *make_base() {
        sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
        return xprt_create(s, RPC_UDP, rpc_sock_port(s), 1000);
    }
    // The base record outlives the workers, which keep pointing at its socket.
    struct base_record {
        xprt *xp = make_base();
        ~base_record() {
            sock_close(xp->sock);
            xprt_free(xp);
        }
    } base;
    uint16_t port = base.xp->port;
    toy_registration reg{base.xp, 1, RPC_UDP};
};

rpc_bytes gate_call(uint32_t xid) {
    auto m = rpc_msg_call(xid, TOY_PROG, 1, TOY_GATE);
    rpc_msg_word(m, 1);
    rpc_msg_opaque(m, "x", 1);
    return m;
}

TEST_F(UdpWorkers, FourWorkersServeFourCallsTogether) {
    EXPECT_FALSE(udp_workers_start(1, base.xp)) << "one thread means no workers";
    ASSERT_TRUE(udp_workers_start(4, base.xp));
    EXPECT_EQ(udp_workers_running.load(), 4);
    // The gate answers only when four calls are inside at once; one worker
    // would keep each call waiting its full 5 s.
    std::vector<rpc_words> replies(4);
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 4; i++)
        clients.emplace_back(
            [&, i] { replies[i] = rpc_msg_words(rpc_udp_call(port, gate_call(1000 + i), 6000)); });
    for (auto &c : clients) c.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    // Each call was answered by a different worker; each worker's buffer is
    // 512 bytes larger than the one made before it (base: 1000 + 512).
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < 4; i++) {
        ASSERT_EQ(replies[i].size(), 8u) << i;
        EXPECT_EQ(rpc_words(replies[i].begin(), replies[i].begin() + 7),
                  (rpc_words{1000 + i, 1, 0, 0, 0, 0, 4}))
            << i;
        sizes.push_back(replies[i][7]);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (rpc_words{2024, 2536, 3048, 3560}));
}

TEST_F(UdpWorkers, OversizedDatagramIsCutAndTheWorkerGoesOnCountingActivity) {
    ASSERT_TRUE(udp_workers_start(2, base.xp));  // buffers of 2024 and 2536 bytes
    std::string big(3000, 'b');
    auto m = rpc_msg_call(5, TOY_PROG, 1, TOY_CURSOR);
    rpc_msg_word(m, 7);
    rpc_msg_word(m, uint32_t(big.size()));
    rpc_msg_opaque(m, big.data(), uint32_t(big.size()));
    // Cut at the buffer (or too long anyway), the string does not decode.
    EXPECT_EQ(rpc_msg_words(rpc_udp_call(port, m, 2000)), (rpc_words{5, 1, 0, 0, 0, 4}));
    // The worker goes on; a served call resets the idle counter, junk does not.
    xprt_idle.store(7);
    rpc_udp_call(port, {1, 2, 3}, 100);
    EXPECT_EQ(xprt_idle.load(), 7);
    EXPECT_EQ(rpc_msg_words(rpc_udp_call(port, rpc_msg_call(6, TOY_PROG, 1, 0), 2000)),
              (rpc_words{6, 1, 0, 0, 0, 0}));
    EXPECT_EQ(xprt_idle.load(), 0);
}

TEST(UdpWorker, FailingReceiveIsRetriedOncePerSecond) {
    // A datagram socket switched to non-blocking fails at once, every time:
    // a worker on it must sleep between tries, not spin.
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    ASSERT_EQ(fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK), 0);
    xprt *xp = xprt_create(s, RPC_UDP, 0, 512);
    xprt_stop.store(0);
    clock_t cpu = clock();
    udp_workers_running.fetch_add(1);
    std::thread worker(udp_worker, xp);
    std::this_thread::sleep_for(1500ms);
    xprt_stop.store(1);
    worker.join();  // ends within the second it sleeps
    EXPECT_LT(double(clock() - cpu) / CLOCKS_PER_SEC, 0.3);
    EXPECT_EQ(udp_workers_running.load(), 0);
    xprt_stop.store(0);
    sock_close(s);
    xprt_free(xp);
}

}  // namespace
