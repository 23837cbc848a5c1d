// The request path of the NFS programs allocates nothing: decoding,
// dispatch, the backends and the reply of common calls of both versions run
// on fixed buffers and the stack.
#include <gtest/gtest.h>

#include <cstring>

#include "nfsd/nfs.h"
#include "support/alloc_count.h"
#include "support/nfs_rig.h"

namespace {

TEST(NfsAlloc, CommonCallsAllocateNothing) {
    nfs_rig rig;
    rig.tree.make("dir/");
    rig.tree.make("dir/f.txt", "hello");
    const std::string D = "c:\\dir", F = "c:\\dir\\f.txt";
    const struct {
        uint32_t vers, proc;
        nfs_toks args;
    } calls[] = {
        {3, 1, {fh3(F)}},
        {3, 3, {fh3(D), name("f.txt")}},
        {3, 4, {fh3(F), w(0x3F)}},
        {3, 6, {fh3(F), hyper(0), w(100)}},
        {3, 7, {fh3(F), hyper(5), w(3), w(0), name("abc")}},
        {3, 16, {fh3(D), hyper(0), hyper(0), w(1000)}},
        {3, 19, {fh3(D)}},
        {2, 1, {fh2(F)}},
        {2, 4, {fh2(D), name("f.txt")}},
        {2, 6, {fh2(F), w(0), w(100), w(0)}},
    };
    uint64_t start = alloc_count();
    ::operator delete(::operator new(16));  // the counter does see allocations
    ASSERT_EQ(alloc_count(), start + 1);
    xprt *xp = rig.rpc.xp;
    uint32_t xid = 1;
    for (const auto &c : calls) {
        std::vector<uint8_t> msg =
            nfs_call_msg(xid++, NFS_PROG, c.vers, c.proc, nfs_arg_bytes(rig, c.args));
        for (int round = 0; round < 3; round++) {  // the first may fill caches
            memcpy(xp->msg, msg.data(), msg.size());
            xp->count = int32_t(msg.size());
            xp->peer = rig.rpc.client_addr;
            rpc_call call{};
            uint64_t before = alloc_count();
            ASSERT_TRUE(rpc_decode_call(xp, &call));
            rpc_dispatch(xp, &call);
            uint64_t made = alloc_count() - before;
            ASSERT_EQ(nfs_results(rpc_recv_datagram(rig.rpc.client, 200)).at(0), 0u);
            EXPECT_TRUE(round == 0 || made == 0) << made << " in " << c.vers << "/" << c.proc;
        }
    }
}

}  // namespace
