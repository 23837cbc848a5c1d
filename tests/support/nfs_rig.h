// A rig for the NFS programs: the nfs_tree world with NFS versions 2 and 3
// registered (no portmapper) on a UDP transport of the service's size whose
// replies reach a client socket at a chosen loopback address; calls and
// expected replies written as tokens (nfs_tok).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/nfs_tree.h"
#include "support/rpc_msg.h"

class nfs_rig {
   public:
    // `client`: the address the calls come from (127.0.0.2 plays another
    // host). `datasize`: the setting "Datasize". `tcp`: over a TCP connection.
    explicit nfs_rig(const std::string &exports = "c:\\ -maproot:0\n",
                     const char *client = "127.0.0.1", uint32_t datasize = 8192, bool tcp = false);
    ~nfs_rig();
    // One call with AUTH_UNIX (uid 0, gid 0); the reply, or empty when none
    // came. `xid` 0 takes a fresh one.
    std::vector<uint8_t> call(uint32_t vers, uint32_t proc, const std::vector<uint8_t> &args,
                              uint32_t xid = 0);
    // The status word of its results; 0xFFFFFFFF when none came.
    uint32_t status(uint32_t vers, uint32_t proc, const std::vector<uint8_t> &args);
    uint32_t status(uint32_t vers, uint32_t proc, const std::vector<struct nfs_tok> &args);
    // A whole message as given; the reply that came within `timeout_ms`.
    std::vector<uint8_t> send(const std::vector<uint8_t> &msg, int timeout_ms = 200) {
        return rpc.serve(msg, rpc_dispatch, nullptr, timeout_ms);
    }

    nfs_tree tree;
    rpc_rig rpc;  // the server's transport and the client's socket

   private:
    uint32_t next_xid_ = 0x1000;
};

// The words after the accepted-reply header: the procedure's results.
std::vector<uint32_t> nfs_results(const std::vector<uint8_t> &reply);

struct nfs_tok {
    enum kind_t {
        WORD,   // `value`
        ANY,    // `value` words of any content
        FH2,    // the 32-byte handle of `text` (a Windows path) in export `value`
        FH3,    // length 16 and the first 16 bytes of it
        INODE,  // the inode number of `text`
        BYTES,  // `text` as raw bytes, padded to 4
        LIST,   // the tokens `items`
    } kind;
    uint32_t value = 0;
    std::string text;
    std::vector<nfs_tok> items = {};
};
inline nfs_tok seq(std::vector<nfs_tok> items) { return {nfs_tok::LIST, 0, "", items}; }
inline nfs_tok w(uint32_t v) { return {nfs_tok::WORD, v, ""}; }
inline nfs_tok any(uint32_t n = 1) { return {nfs_tok::ANY, n, ""}; }
inline nfs_tok fh2(const std::string &path, uint32_t index = 0) {
    return {nfs_tok::FH2, index, path};
}
inline nfs_tok fh3(const std::string &path, uint32_t index = 0) {
    return {nfs_tok::FH3, index, path};
}
inline nfs_tok bytes(const std::string &s) { return {nfs_tok::BYTES, 0, s}; }
inline nfs_tok name(const std::string &s) { return seq({w(uint32_t(s.size())), bytes(s)}); }
inline nfs_tok ino(const std::string &path) { return {nfs_tok::INODE, 0, path}; }
inline nfs_tok hyper(uint64_t v) { return seq({w(uint32_t(v >> 32)), w(uint32_t(v))}); }
// A v2 fattr of `path`: type, mode, uid and gid 0, size, block size,
// rdev 0, blocks and fileid pinned.
inline nfs_tok fattr2(const std::string &path, uint32_t type, uint32_t mode, uint32_t size) {
    return seq({w(type), w(mode), any(), w(0), w(0), w(size), w(NFS_BLOCK_SIZE), w(0),
                w((size + 4095) / 4096), any(), ino(path), any(6)});
}

using nfs_toks = std::vector<nfs_tok>;
// A v2 sattr (0xFFFFFFFF: not set) and a v3 sattr3 (mode < 0: not set) of
// the mode and, in v2, the size.
nfs_tok nfs_sattr2(uint32_t mode = 0xFFFFFFFF, uint32_t size = 0xFFFFFFFF);
nfs_tok nfs_sattr3(int mode = -1);

// A call of every procedure of `vers` with arguments, each of which decodes
// in a tree with the files "f.txt" and "w.txt" and the folder "dir".
struct nfs_sample {
    uint32_t proc;
    nfs_toks args;
};
std::vector<nfs_sample> nfs_sample_calls(uint32_t vers);

// Argument bytes of tokens (no ANY); paths name files of the rig's tree.
std::vector<uint8_t> nfs_arg_bytes(const nfs_rig &rig, const nfs_toks &toks);
// "" when the words match the tokens, else the first difference.
std::string nfs_match(const nfs_tree &tree, const nfs_toks &toks,
                      const std::vector<uint32_t> &words);

// An NFS call message: header with AUTH_UNIX (uid 0), an AUTH_NULL verifier
// of `verf` and `args`.
std::vector<uint8_t> nfs_call_msg(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                                  const std::vector<uint8_t> &args,
                                  const std::vector<uint8_t> &verf = {});
