// The replay cache: a retransmitted call is answered from its slot, a new
// one runs; concurrent use of one slot is race-free (run under TSan).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

struct create_result {
    uint32_t status;
    uint32_t fileid;
};
uint32_t create_encode(uint8_t *out, const void *result) {
    const create_result *r = static_cast<const create_result *>(result);
    return xdr_pack(out, "qq", r->status, r->fileid);
}

// One slot, as a program table keeps beside a non-idempotent procedure.
rpc_replay_slot slot;
create_result slot_save;
uint32_t next_fileid;

// A non-idempotent procedure: every execution makes a new file id.
void create_handler(xprt *xp, rpc_call *call) {
    if (rpc_replay_check(xp, call, &slot, create_encode, &slot_save)) return;
    create_result r{0, next_fileid++};
    rpc_replay_save(xp, &slot, &slot_save, &r, sizeof r);
    rpc_reply(xp, call, create_encode, &r);
}

class RpcReplay : public ::testing::Test {
   protected:
    rpc_loop loop;
    void SetUp() override {
        slot.state.store(0);
        slot.xid = slot.addr = slot.port = 0;
        next_fileid = 100;
        ASSERT_TRUE(rpc_loop_open(&loop));
        rpc_pmap_call = nullptr;  // no portmapper here
        ASSERT_TRUE(rpc_register(loop.xp, 100003, 3, create_handler, RPC_UDP));
    }
    void TearDown() override {
        rpc_unregister(100003, 3, RPC_UDP);
        rpc_loop_close(&loop);
    }
    std::vector<uint32_t> create(uint32_t xid) {
        return rpc_msg_words(rpc_loop_serve(&loop, rpc_msg_call(xid, 100003, 3, 8)));
    }
};

TEST_F(RpcReplay, RetransmissionIsAnsweredFromTheSlot) {
    EXPECT_EQ(create(77), (std::vector<uint32_t>{77, 1, 0, 0, 0, 0, 0, 100}));
    EXPECT_EQ(create(77), (std::vector<uint32_t>{77, 1, 0, 0, 0, 0, 0, 100}));
    EXPECT_EQ(next_fileid, 101u);
    EXPECT_EQ(create(78), (std::vector<uint32_t>{78, 1, 0, 0, 0, 0, 0, 101}));
    // A slot another thread is filling neither replays nor saves.
    slot.state.store(-1);
    EXPECT_EQ(create(78)[7], 102u);
    EXPECT_EQ(create(79)[7], 103u);
    slot.state.store(1);
    EXPECT_EQ(create(78)[7], 101u);
}

TEST_F(RpcReplay, SameXidFromAnotherClientRuns) {
    EXPECT_EQ(create(77)[7], 100u);
    // Another port of the same host.
    sock_t other = udp_socket(htonl(INADDR_LOOPBACK), 0);
    uint16_t first_port = loop.xp->peer.sin_port;
    loop.xp->peer.sin_port = htons(rpc_sock_port(other));
    rpc_loop_serve(&loop, rpc_msg_call(77, 100003, 3, 8), nullptr, 0);
    EXPECT_EQ(rpc_msg_words(rpc_recv_datagram(other, 200))[7], 101u);
    // The slot now holds that client's call; the first one runs again.
    loop.xp->peer.sin_port = first_port;
    EXPECT_EQ(create(77)[7], 102u);
    // Another address, same port.
    loop.xp->peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    rpc_loop_serve(&loop, rpc_msg_call(77, 100003, 3, 8), nullptr, 0);
    EXPECT_EQ(next_fileid, 104u);
    sock_close(other);
}

TEST(RpcReplayThreads, ConcurrentChecksAndSavesOfOneSlot) {
    // Replies go to a socket nobody reads; what matters is that the slot's
    // fields are never read while another thread writes them.
    slot.state.store(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            xprt *xp = xprt_create(udp_socket(htonl(INADDR_LOOPBACK), 0), RPC_UDP, 0, 512);
            xp->peer.sin_family = AF_INET;
            xp->peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            xp->peer.sin_port = htons(9);  // discard
            rpc_call call{};
            for (uint32_t i = 0; i < 2000; i++) {
                xp->xid = i % 3;
                xp->peer.sin_port = htons(uint16_t(9 + t % 2));
                if (rpc_replay_check(xp, &call, &slot, create_encode, &slot_save)) continue;
                create_result r{0, i};
                rpc_replay_save(xp, &slot, &slot_save, &r, sizeof r);
            }
            sock_close(xp->sock);
            xprt_free(xp);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(slot.state.load(), 1);
}

}  // namespace
