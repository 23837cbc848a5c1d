// The registry of served programs and its portmapper calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "support/rpc_msg.h"

namespace {

std::vector<std::string> pmap_calls;
bool pmap_answer = true;
bool fake_pmap(bool set, uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port) {
    pmap_calls.push_back(std::string(set ? "SET " : "UNSET ") + std::to_string(prog) + " " +
                         std::to_string(vers) + " " + std::to_string(protocol) + " " +
                         std::to_string(port));
    return pmap_answer;
}

int calls_a, calls_b;
void handler_a(xprt *xp, rpc_call *call) {
    calls_a++;
    rpc_reply(xp, call, rpc_void_result, nullptr);
}
void handler_b(xprt *xp, rpc_call *call) {
    calls_b++;
    rpc_reply(xp, call, rpc_void_result, nullptr);
}

class RpcRegistry : public ::testing::Test {
   protected:
    rpc_loop loop;
    void SetUp() override {
        ASSERT_TRUE(rpc_loop_open(&loop));
        loop.xp->port = 2049;
        pmap_calls.clear();
        pmap_answer = true;
        calls_a = calls_b = 0;
        rpc_pmap_call = fake_pmap;
    }
    void TearDown() override {
        rpc_pmap_call = nullptr;
        rpc_unregister(100005, 1, RPC_UDP);
        rpc_unregister(100005, 3, RPC_UDP);
        rpc_loop_close(&loop);
    }
    std::vector<uint32_t> null_call(uint32_t vers) {
        return rpc_msg_words(rpc_loop_serve(&loop, rpc_msg_call(1, 100005, vers, 0)));
    }
};

TEST_F(RpcRegistry, OneEntryServesBothProtocolsAndEachIsMapped) {
    EXPECT_TRUE(rpc_register(loop.xp, 100005, 3, handler_a, RPC_UDP));
    EXPECT_TRUE(rpc_register(loop.xp, 100005, 3, handler_a, RPC_TCP));
    EXPECT_FALSE(rpc_register(loop.xp, 100005, 3, handler_b, RPC_UDP));
    EXPECT_EQ(pmap_calls,
              (std::vector<std::string>{"SET 100005 3 17 2049", "SET 100005 3 6 2049"}));
    EXPECT_EQ(null_call(3), (std::vector<uint32_t>{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(calls_a, 1);
    EXPECT_EQ(calls_b, 0);
    pmap_answer = false;
    EXPECT_FALSE(rpc_register(loop.xp, 100005, 1, handler_a, RPC_UDP))
        << "a portmapper refusal fails the registration";
}

TEST_F(RpcRegistry, UnregisterTellsThePortmapperAndRemovesTheEntry) {
    ASSERT_TRUE(rpc_register(loop.xp, 100005, 1, handler_a, RPC_UDP));
    ASSERT_TRUE(rpc_register(loop.xp, 100005, 3, handler_b, RPC_UDP));
    EXPECT_EQ(null_call(2), (std::vector<uint32_t>{1, 1, 0, 0, 0, 2, 1, 3}));
    pmap_calls.clear();
    rpc_unregister(100005, 3, RPC_UDP);
    rpc_unregister(100005, 3, RPC_TCP);  // entry already gone: only the UNSET
    EXPECT_EQ(pmap_calls, (std::vector<std::string>{"UNSET 100005 3 17 0", "UNSET 100005 3 6 0"}));
    EXPECT_EQ(null_call(3), (std::vector<uint32_t>{1, 1, 0, 0, 0, 2, 1, 1}));
    rpc_unregister(100005, 1, RPC_UDP);
    EXPECT_EQ(null_call(1), (std::vector<uint32_t>{1, 1, 0, 0, 0, 1}));

    // A later start registers the pair again, even with another handler.
    ASSERT_TRUE(rpc_register(loop.xp, 100005, 3, handler_a, RPC_UDP));
    EXPECT_EQ(null_call(3), (std::vector<uint32_t>{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(calls_a, 1);
    EXPECT_EQ(calls_b, 0);
}

}  // namespace
