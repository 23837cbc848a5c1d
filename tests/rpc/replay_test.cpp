// The replay cache: a retransmitted call is answered from its slot, a new
// one runs; concurrent use of one slot is race-free (run under TSan).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

class RpcReplay : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(rig.ok() && reg.ok);
        toy_reset();
    }
    // The counter's answer to `xid` from the rig's client, or from `other`.
    uint32_t count(uint32_t xid, sock_t other = SOCK_INVALID) {
        auto msg = rpc_msg_call(xid, TOY_PROG, 1, TOY_COUNTER);
        if (other == SOCK_INVALID) return rpc_msg_word_at(rig.serve(msg), 6);
        rig.serve(msg, rpc_dispatch, nullptr, 0);
        return rpc_msg_word_at(rpc_recv_datagram(other, 300), 6);
    }
    rpc_rig rig;
    toy_registration reg{rig.xp, 1, RPC_UDP};
};

TEST_F(RpcReplay, RetransmissionIsAnsweredFromTheSlot) {
    EXPECT_EQ(rpc_msg_words(rig.serve(rpc_msg_call(77, TOY_PROG, 1, TOY_COUNTER))),
              (rpc_words{77, 1, 0, 0, 0, 0, 100}));
    EXPECT_EQ(count(77), 100u);
    EXPECT_EQ(toy_counter, 101u);
    EXPECT_EQ(count(78), 101u);
    // A slot another thread is filling neither replays nor saves.
    toy_slot.state.store(-1);
    EXPECT_EQ(count(78), 102u);
    EXPECT_EQ(count(79), 103u);
    toy_slot.state.store(1);
    EXPECT_EQ(count(78), 101u);
}

TEST_F(RpcReplay, SameXidFromAnotherClientRuns) {
    EXPECT_EQ(count(77), 100u);
    // Another port of the same host.
    sock_t other = udp_socket(htonl(INADDR_LOOPBACK), 0);
    in_port_t first_port = rig.client_addr.sin_port;
    rig.client_addr.sin_port = htons(rpc_sock_port(other));
    EXPECT_EQ(count(77, other), 101u);
    // The slot now holds that client's call; the first one runs again.
    rig.client_addr.sin_port = first_port;
    EXPECT_EQ(count(77), 102u);
    // Another address, same port.
    rig.client_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    count(77, other);
    EXPECT_EQ(toy_counter, 104u);
    sock_close(other);
}

uint32_t encode_word(uint8_t *out, const void *result) {
    return xdr_put_u32(out, *static_cast<const uint32_t *>(result));
}

TEST(RpcReplayThreads, ConcurrentChecksAndSavesOfOneSlot) {
    // Replies go to a socket nobody reads; what matters is that the slot's
    // fields are never read while another thread writes them.
    static rpc_replay_slot slot;
    static uint32_t save;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            xprt *xp = xprt_create(udp_socket(htonl(INADDR_LOOPBACK), 0), RPC_UDP, 0, 512);
            xp->peer.sin_family = AF_INET;
            xp->peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rpc_call call{};
            for (uint32_t i = 0; i < 2000; i++) {
                xp->xid = i % 3;
                xp->peer.sin_port = htons(uint16_t(9 + t % 2));  // discard
                if (rpc_replay_check(xp, &call, &slot, encode_word, &save)) continue;
                rpc_replay_save(xp, &slot, &save, &i, sizeof i);
            }
            sock_close(xp->sock);
            xprt_free(xp);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(slot.state.load(), 1);
}

}  // namespace
