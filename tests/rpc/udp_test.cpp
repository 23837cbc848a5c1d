// The UDP transport: worker threads on one socket serving calls in
// parallel, oversized datagrams, receive errors and the stop flag.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

using namespace std::chrono_literals;

// Procedure 1 waits until four calls are inside handlers at the same time
// (or 5 s pass), then answers with how many it saw. Four workers must serve
// four such calls together; one worker would time out on each.
std::mutex gate_lock;
std::condition_variable gate;
int inside;
uint32_t wait_result(uint8_t *out, const void *r) {
    const uint32_t *v = static_cast<const uint32_t *>(r);
    return xdr_pack(out, "qq", v[0], v[1]);
}
void gate_handler(xprt *xp, rpc_call *call) {
    char s[64];
    if (call->proc == 0) {
        rpc_reply(xp, call, rpc_void_result, nullptr);
        return;
    }
    if (!xdr_get_string(call, s, 63)) {
        rpc_error_reply(xp, call, RPC_GARBAGE_ARGS);
        return;
    }
    std::unique_lock<std::mutex> hold(gate_lock);
    inside++;
    gate.notify_all();
    gate.wait_for(hold, 5s, [] { return inside >= 4; });
    // The count seen, and the size of the serving worker's buffer.
    uint32_t seen[2] = {uint32_t(inside), xp->size};
    hold.unlock();
    rpc_reply(xp, call, wait_result, seen);
}

class UdpWorkers : public ::testing::Test {
   protected:
    xprt *base = nullptr;
    uint16_t port = 0;
    void SetUp() override {
        xprt_stop.store(0);
        inside = 0;
        sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
        ASSERT_NE(s, SOCK_INVALID);
        port = rpc_sock_port(s);
        base = xprt_create(s, RPC_UDP, port, 1000);
        rpc_pmap_call = nullptr;  // no portmapper here
        ASSERT_TRUE(rpc_register(base, 100003, 3, gate_handler, RPC_UDP));
    }
    void TearDown() override {
        // Workers see the flag after their next receive: wake each one.
        xprt_stop.store(1);
        for (int i = 0; i < 50 && udp_workers_running.load() > 0; i++) {
            rpc_udp_call(port, {0}, 0);
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(udp_workers_running.load(), 0);
        rpc_unregister(100003, 3, RPC_UDP);
        sock_close(base->sock);
        xprt_free(base);
        xprt_stop.store(0);
    }
};

std::vector<uint8_t> gate_call(uint32_t xid, const char *text) {
    auto m = rpc_msg_call(xid, 100003, 3, 1);
    rpc_msg_word(m, uint32_t(strlen(text)));
    rpc_msg_opaque(m, text, uint32_t(strlen(text)));
    return m;
}

TEST_F(UdpWorkers, FourWorkersServeFourCallsTogether) {
    EXPECT_FALSE(udp_workers_start(1, base)) << "one thread means no workers";
    ASSERT_TRUE(udp_workers_start(4, base));
    EXPECT_EQ(udp_workers_running.load(), 4);
    std::vector<std::vector<uint32_t>> replies(4);
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 4; i++)
        clients.emplace_back([&, i] {
            replies[i] = rpc_msg_words(rpc_udp_call(port, gate_call(1000 + i, "x"), 4000));
        });
    for (auto &c : clients) c.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // Each call was answered by a different worker; each worker's buffer is
    // 512 bytes larger than the one made before it (base: 1000 + 512).
    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < 4; i++) {
        ASSERT_EQ(replies[i].size(), 8u) << i;
        EXPECT_EQ(std::vector<uint32_t>(replies[i].begin(), replies[i].begin() + 7),
                  (std::vector<uint32_t>{1000 + i, 1, 0, 0, 0, 0, 4}))
            << i;
        sizes.push_back(replies[i][7]);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<uint32_t>{2024, 2536, 3048, 3560}));
}

TEST_F(UdpWorkers, OversizedDatagramIsCutAndTheWorkerGoesOnCountingActivity) {
    ASSERT_TRUE(udp_workers_start(2, base));  // buffers of 2024 and 2536 bytes
    std::string big(3000, 'b');
    auto m = rpc_msg_call(5, 100003, 3, 1);
    rpc_msg_word(m, uint32_t(big.size()));
    rpc_msg_opaque(m, big.data(), uint32_t(big.size()));
    // Cut at the buffer, the string no longer decodes: GARBAGE_ARGS.
    EXPECT_EQ(rpc_msg_words(rpc_udp_call(port, m, 2000)),
              (std::vector<uint32_t>{5, 1, 0, 0, 0, 4}));
    // The worker goes on; a served call resets the idle counter, junk does not.
    xprt_idle.store(7);
    rpc_udp_call(port, {1, 2, 3}, 100);
    EXPECT_EQ(xprt_idle.load(), 7);
    EXPECT_EQ(rpc_msg_words(rpc_udp_call(port, rpc_msg_call(6, 100003, 3, 0), 2000)),
              (std::vector<uint32_t>{6, 1, 0, 0, 0, 0}));
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

TEST_F(UdpWorkers, PortInUseIsRefused) {
    // The port of the base socket is taken: no second socket, nothing left open.
    int before = open("/dev/null", O_RDONLY);
    close(before);
    EXPECT_EQ(udp_socket(htonl(INADDR_LOOPBACK), port), SOCK_INVALID);
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(after, before);
}
