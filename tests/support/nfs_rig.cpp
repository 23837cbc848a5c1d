#include "support/nfs_rig.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "fh/fh.h"
#include "fs/fs.h"
#include "nfsd/nfs.h"
#include "base/config.h"

constexpr uint32_t AUTH_UNIX = 1;
constexpr uint32_t REPLY_WORDS = 6;  // xid, REPLY, ACCEPTED, AUTH_NULL, 0, accept status

nfs_rig::nfs_rig(const std::string &exports, const char *client, uint32_t datasize, bool tcp)
    : tree(exports), rpc(datasize, client, tcp) {  // the service's message area
    config.datasize = datasize;
    config.softlinks = 1;
    config.hardlinks = 1;
    hardlink_lookup();  // as the service's start does: LINK makes real links
    rpc_pmap_call = nullptr;
    if (!rpc.ok() || !rpc_register(rpc.xp, NFS_PROG, NFS_V2, nfs2_dispatch, RPC_UDP) ||
        !rpc_register(rpc.xp, NFS_PROG, NFS_V3, nfs3_dispatch, RPC_UDP))
        throw std::runtime_error("no transport or registration failed");
}

nfs_rig::~nfs_rig() {
    rpc_unregister(NFS_PROG, NFS_V2, RPC_UDP);
    rpc_unregister(NFS_PROG, NFS_V3, RPC_UDP);
}

std::vector<uint8_t> nfs_rig::call(uint32_t vers, uint32_t proc, const std::vector<uint8_t> &args,
                                   uint32_t xid) {
    return send(nfs_call_msg(xid ? xid : next_xid_++, NFS_PROG, vers, proc, args));
}

uint32_t nfs_rig::status(uint32_t vers, uint32_t proc, const std::vector<uint8_t> &args) {
    std::vector<uint32_t> r = nfs_results(call(vers, proc, args));
    return r.empty() ? 0xFFFFFFFF : r[0];
}

uint32_t nfs_rig::status(uint32_t vers, uint32_t proc, const nfs_toks &args) {
    return status(vers, proc, nfs_arg_bytes(*this, args));
}

std::vector<uint8_t> nfs_call_msg(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                                  const std::vector<uint8_t> &args,
                                  const std::vector<uint8_t> &verf) {
    std::vector<uint8_t> msg = rpc_msg_call(xid, prog, vers, proc, AUTH_UNIX,
                                            rpc_msg_auth_unix(1, "rig", 0, 0, {}), 0, verf);
    msg.insert(msg.end(), args.begin(), args.end());
    return msg;
}

std::vector<uint32_t> nfs_results(const std::vector<uint8_t> &reply) {
    std::vector<uint32_t> w = rpc_msg_words(reply);
    if (w.size() < REPLY_WORDS) return {};
    return std::vector<uint32_t>(w.begin() + REPLY_WORDS, w.end());
}

// The words a token stands for; `pinned[i]` false for words of any value.
static void expand(const nfs_tree &tree, const nfs_tok &t, std::vector<uint32_t> &out,
            std::vector<bool> &pinned) {
    auto pin = [&](std::initializer_list<uint32_t> vs) {
        out.insert(out.end(), vs);
        pinned.insert(pinned.end(), vs.size(), true);
    };
    auto skip = [&](uint32_t n) {
        out.insert(out.end(), n, 0);
        pinned.insert(pinned.end(), n, false);
    };
    auto raw = [&](const void *p, uint32_t n) {
        std::vector<uint8_t> b;
        rpc_msg_opaque(b, p, n);
        for (uint32_t v : rpc_msg_words(b)) pin({v});
    };
    switch (t.kind) {
        case nfs_tok::WORD:
            return pin({t.value});
        case nfs_tok::ANY:
            return skip(t.value);
        case nfs_tok::FH2:
        case nfs_tok::FH3:
            if (t.kind == nfs_tok::FH3) pin({FH3_SIZE});
            return raw(tree.handle(t.text, int(t.value)).data(),
                       t.kind == nfs_tok::FH3 ? FH3_SIZE : FH_SIZE);
        case nfs_tok::BYTES:
            return raw(t.text.data(), uint32_t(t.text.size()));
        case nfs_tok::INODE:
            return pin({nfs_tree::inode_of(tree.handle(t.text))});
        case nfs_tok::LIST:
            for (const nfs_tok &item : t.items) expand(tree, item, out, pinned);
    }
}

std::vector<uint8_t> nfs_arg_bytes(const nfs_rig &rig, const nfs_toks &toks) {
    std::vector<uint32_t> words;
    std::vector<bool> pinned;
    expand(rig.tree, seq(toks), words, pinned);
    if (std::find(pinned.begin(), pinned.end(), false) != pinned.end())
        throw std::logic_error("a token that is not an argument");
    return rpc_msg_bytes(words);
}

std::string nfs_match(const nfs_tree &tree, const nfs_toks &toks,
                      const std::vector<uint32_t> &words) {
    std::vector<uint32_t> want;
    std::vector<bool> pinned;
    expand(tree, seq(toks), want, pinned);
    std::ostringstream why;
    if (want.size() != words.size())
        why << "reply has " << words.size() << " words, expected " << want.size() << "; ";
    for (size_t i = 0; i < want.size() && i < words.size(); i++)
        if (pinned[i] && want[i] != words[i]) {
            why << "word " << i << " is " << std::hex << "0x" << words[i] << ", expected 0x"
                << want[i];
            break;
        }
    return why.str();
}

nfs_tok nfs_sattr2(uint32_t mode, uint32_t size) {
    constexpr uint32_t NONE = 0xFFFFFFFF;
    return seq({w(mode), w(NONE), w(NONE), w(size), w(NONE), w(NONE), w(NONE), w(NONE)});
}

nfs_tok nfs_sattr3(int mode) {
    nfs_tok set_mode = mode < 0 ? w(0) : seq({w(1), w(uint32_t(mode))});
    return seq({set_mode, w(0), w(0), w(0), w(0), w(0)});
}

std::vector<nfs_sample> nfs_sample_calls(uint32_t vers) {
    const std::string R = "c:", F = "c:\\f.txt", W = "c:\\w.txt", D = "c:\\dir";
    if (vers == 2)
        return {
            {1, {fh2(F)}},          {2, {fh2(F), nfs_sattr2()}},
            {4, {fh2(R), name("f.txt")}},
            {5, {fh2(F)}},          {6, {fh2(F), w(0), w(5), w(0)}},
            {8, {fh2(W), w(0), w(1), w(0), name("abc")}},
            {9, {fh2(R), name("n2"), nfs_sattr2()}},
            {10, {fh2(R), name("n2")}},
            {11, {fh2(R), name("n2"), fh2(D), name("m2")}},
            {12, {fh2(F), fh2(D), name("l2")}},
            {13, {fh2(R), name("s2"), name("f.txt"), nfs_sattr2()}},
            {14, {fh2(R), name("d2"), nfs_sattr2()}},
            {15, {fh2(R), name("d2")}}, {16, {fh2(R), w(0), w(1000)}}, {17, {fh2(R)}},
        };
    return {
        {1, {fh3(F)}},
        {2, {fh3(F), nfs_sattr3()}},  // the guard is not read
        {3, {fh3(R), name("f.txt")}}, {4, {fh3(F), w(0x3F)}},
        {5, {fh3(F)}},                {6, {fh3(F), hyper(0), w(100)}},
        {7, {fh3(W), hyper(1), w(3), w(1), name("abc")}},
        {8, {fh3(R), name("n3"), w(1), nfs_sattr3()}},
        {9, {fh3(R), name("d3"), nfs_sattr3()}},
        {10, {fh3(R), name("s3"), nfs_sattr3(), name("f.txt")}},
        {11, {fh3(R), name("c3"), w(4), nfs_sattr3(), w(1), w(3)}},
        {12, {fh3(R), name("n3")}},   {13, {fh3(R), name("d3")}},
        {14, {fh3(R), name("n3"), fh3(D), name("m3")}},
        {15, {fh3(F), fh3(D), name("l3")}},
        {16, {fh3(R), hyper(0), hyper(0), w(1000)}},
        {17, {fh3(R), hyper(0), hyper(0), w(500), w(4000)}},
        {18, {fh3(R)}}, {19, {fh3(R)}}, {20, {fh3(R)}},
        {21, {fh3(F), hyper(0), w(0)}},
    };
}
