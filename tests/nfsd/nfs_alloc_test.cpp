// The request path of the NFS programs allocates nothing: decoding,
// dispatch, the backends and the reply of common calls of both versions run
// on fixed buffers and the stack. Counted by replacing the global operator
// new of this test binary.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nfsd/nfs.h"
#include "support/alloc_count.h"
#include "support/nfs_rig.h"
#include "support/rpc_msg.h"

namespace {

using toks = std::vector<nfs_tok>;

TEST(NfsAlloc, CommonCallsAllocateNothing) {
    nfs_rig rig;
    rig.tree.make("dir/");
    rig.tree.make("dir/f.txt", "hello");
    const struct {
        uint32_t vers, proc;
        toks args;
    } calls[] = {
        {3, 1, {fh3("c:\\dir\\f.txt")}},
        {3, 3, {fh3("c:\\dir"), name("f.txt")}},
        {3, 4, {fh3("c:\\dir\\f.txt"), w(0x3F)}},
        {3, 6, {fh3("c:\\dir\\f.txt"), hyper(0), w(100)}},
        {3, 7, {fh3("c:\\dir\\f.txt"), hyper(5), w(3), w(0), name("abc")}},
        {3, 16, {fh3("c:\\dir"), hyper(0), hyper(0), w(1000)}},
        {3, 19, {fh3("c:\\dir")}},
        {2, 1, {fh2("c:\\dir\\f.txt")}},
        {2, 4, {fh2("c:\\dir"), name("f.txt")}},
        {2, 6, {fh2("c:\\dir\\f.txt"), w(0), w(100), w(0)}},
    };
    uint64_t start = alloc_count();
    ::operator delete(::operator new(16));  // the counter does see allocations
    ASSERT_EQ(alloc_count(), start + 1);
    uint32_t xid = 1;
    for (const auto &c : calls) {
        std::vector<uint8_t> msg = nfs_call_msg(xid++, NFS_PROG, c.vers, c.proc,
                                                nfs_arg_bytes(rig, c.args));
        for (int round = 0; round < 3; round++) {  // the first may fill caches
            memcpy(rig.xp->msg, msg.data(), msg.size());
            rig.xp->count = int32_t(msg.size());
            rig.xp->peer = rig.client_addr;
            rpc_call call{};
            uint64_t before = alloc_count();
            ASSERT_TRUE(rpc_decode_call(rig.xp, &call));
            rpc_dispatch(rig.xp, &call);
            uint64_t made = alloc_count() - before;
            std::vector<uint8_t> reply = rpc_recv_datagram(rig.client, 200);
            ASSERT_EQ(nfs_results(reply).at(0), 0u) << c.vers << "/" << c.proc;
            if (round > 0) {
                EXPECT_EQ(made, 0u) << "version " << c.vers << " procedure " << c.proc;
            }
        }
    }
}

}  // namespace
