// 100,000 mutated calls of both versions get a well-formed reply or none,
// never a read or write outside the buffers (run it under AddressSanitizer),
// and the server keeps serving. Common calls allocate nothing.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <set>

#include "nfsd/nfs.h"
#include "support/alloc_count.h"
#include "support/nfs_rig.h"

namespace {

constexpr int CALLS = 100000;
constexpr uint32_t MAX_PROC = 24;  // a few past the last procedure

const uint32_t interesting[] = {0, 1, 2, 3, 16, 32, 511, 512, 513, 4096, 4097, 8192, 8193,
                                0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x0020644,
                                0x0010644};

// One to three changes to the argument bytes (the header stays whole, so
// that calls reach the dispatchers).
std::vector<uint8_t> mutate(std::vector<uint8_t> args, std::mt19937 &rng) {
    for (int i = 1 + int(rng() % 3); i > 0; i--) {
        size_t words = args.size() / 4;
        uint32_t how = rng() % 5;
        if (how == 0 && !args.empty()) {  // a byte
            args[rng() % args.size()] ^= uint8_t(1 + rng() % 255);
        } else if (how == 1 && !args.empty()) {  // cut short
            args.resize(rng() % args.size());
        } else if (how == 2) {  // more behind
            for (uint32_t n = rng() % 64; n > 0; n--) args.push_back(uint8_t(rng()));
        } else if (words) {  // a word with a value parsers trip over, or any value
            uint32_t v = how == 3 ? interesting[rng() % std::size(interesting)] : uint32_t(rng());
            size_t at = (rng() % words) * 4;
            for (int b = 0; b < 4; b++) args[at + b] = uint8_t(v >> (24 - 8 * b));
        }
    }
    return args;
}

TEST(NfsFuzz, MutatedCallsGetWellFormedRepliesOrNone) {
    nfs_rig rig("c:\\ -maproot:0\n");
    for (const char *f : {"f.txt", "w.txt", "dir/", "dir/g.txt"}) rig.tree.make(f, "x");
    rig.tree.env.log_level(0);
    struct seed {
        uint32_t vers, proc;
        std::vector<uint8_t> args;
    };
    std::vector<seed> corpus;
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const nfs_sample &s : nfs_sample_calls(vers))
            corpus.push_back({vers, s.proc, nfs_arg_bytes(rig, s.args)});

    std::mt19937 rng(20261207);
    int replies = 0;
    for (int i = 0; i < CALLS; i++) {
        size_t k = rng() % corpus.size();
        uint32_t vers = corpus[k].vers, proc = corpus[k].proc;
        if (rng() % 16 == 0) proc = rng() % MAX_PROC;
        if (rng() % 32 == 0) vers = 5 - vers;
        uint32_t xid = 0x10000 + uint32_t(i);
        std::vector<uint8_t> reply =
            rig.send(nfs_call_msg(xid, NFS_PROG, vers, proc, mutate(corpus[k].args, rng)), 0);
        if (reply.empty()) continue;
        replies++;
        std::vector<uint32_t> words = rpc_msg_words(reply);
        ASSERT_TRUE(reply.size() % 4 == 0 && words.size() >= 6 && reply.size() <= rig.rpc.xp->size)
            << "call " << i << ": " << reply.size() << " bytes";
        ASSERT_EQ(words[0], xid) << "call " << i;
        ASSERT_EQ(words[1], 1u) << "call " << i;  // REPLY
    }
    EXPECT_GT(replies, CALLS / 2);
    // Still serving, with the tree as the server sees it.
    EXPECT_EQ(nfs_results(rig.call(NFS_V3, 1, nfs_arg_bytes(rig, {fh3("c:\\dir")}))).at(0), 0u);
    EXPECT_EQ(rpc_msg_accept_status(rig.call(NFS_V2, 0, {})), RPC_SUCCESS);
}

TEST(NfsAlloc, CommonCallsAllocateNothing) {
    nfs_rig rig;
    for (const char *f : {"f.txt", "w.txt", "dir/"}) rig.tree.make(f, "hello");
    const std::set<uint32_t> common[] = {{1, 4, 6, 8}, {1, 3, 4, 6, 7, 16, 19}};
    uint64_t start = alloc_count();
    ::operator delete(::operator new(16));  // the counter does see allocations
    ASSERT_EQ(alloc_count(), start + 1);
    xprt *xp = rig.rpc.xp;
    uint32_t xid = 1;
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            if (common[vers - 2].count(proc) == 0) continue;
            std::vector<uint8_t> msg =
                nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(rig, args));
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
                EXPECT_TRUE(round == 0 || made == 0) << made << " in " << vers << "/" << proc;
            }
        }
}

}  // namespace
