#include "support/server_client.h"

#include "support/rpc_msg.h"

namespace {

constexpr uint32_t MOUNT_PROG = 100005;
constexpr uint32_t NFS_PROG = 100003;
constexpr uint32_t AUTH_UNIX = 1;
constexpr uint32_t RESULTS = 6;  // first result word of an accepted reply with an empty verifier

uint32_t next_xid = 0x5e700000;

// Sends the call and answers the result words, empty when there was no
// accepted, successful reply.
std::vector<uint32_t> call(uint16_t port, uint32_t prog, uint32_t proc,
                           const std::vector<uint8_t> &args) {
    uint32_t xid = ++next_xid;
    std::vector<uint8_t> msg =
        rpc_msg_call(xid, prog, 3, proc, AUTH_UNIX, rpc_msg_auth_unix(0, "test", 0, 0, {}));
    msg.insert(msg.end(), args.begin(), args.end());
    std::vector<uint32_t> w = rpc_msg_words(rpc_udp_call(port, msg, 3000));
    if (w.size() <= RESULTS || w[0] != xid || w[1] != 1 || w[2] != 0 || w[4] != 0 || w[5] != 0)
        return {};
    return std::vector<uint32_t>(w.begin() + RESULTS, w.end());
}

void put_opaque(std::vector<uint8_t> &out, const void *bytes, size_t n) {
    rpc_msg_word(out, uint32_t(n));
    rpc_msg_opaque(out, bytes, uint32_t(n));
}

// A handle as a length word and its bytes, starting at word `at`.
bool take_handle(const std::vector<uint32_t> &r, size_t at, std::vector<uint8_t> *fh) {
    if (r.size() <= at) return false;
    uint32_t n = r[at];
    if (n > 64 || r.size() < at + 1 + (n + 3) / 4) return false;
    fh->clear();
    for (uint32_t i = 0; i < n; i++) fh->push_back(uint8_t(r[at + 1 + i / 4] >> (24 - 8 * (i % 4))));
    return true;
}

}  // namespace

uint32_t raw_mnt3(uint16_t port, const std::string &path, std::vector<uint8_t> *fh) {
    std::vector<uint8_t> args;
    put_opaque(args, path.data(), path.size());
    std::vector<uint32_t> r = call(port, MOUNT_PROG, 1, args);
    if (r.empty()) return RAW_NO_REPLY;
    if (r[0] == 0 && !take_handle(r, 1, fh)) return RAW_NO_REPLY;
    return r[0];
}

uint32_t raw_lookup3(uint16_t port, const std::vector<uint8_t> &dir, const std::string &name,
                     std::vector<uint8_t> *fh) {
    std::vector<uint8_t> args;
    put_opaque(args, dir.data(), dir.size());
    put_opaque(args, name.data(), name.size());
    std::vector<uint32_t> r = call(port, NFS_PROG, 3, args);
    if (r.empty()) return RAW_NO_REPLY;
    if (r[0] == 0 && !take_handle(r, 1, fh)) return RAW_NO_REPLY;
    return r[0];
}

uint32_t raw_getattr3(uint16_t port, const std::vector<uint8_t> &fh, uint64_t *fileid,
                      uint64_t *size) {
    std::vector<uint8_t> args;
    put_opaque(args, fh.data(), fh.size());
    std::vector<uint32_t> r = call(port, NFS_PROG, 1, args);
    if (r.empty()) return RAW_NO_REPLY;
    // fattr3: type, mode, nlink, uid, gid, size (2 words), used (2), rdev
    // (2), fsid (2), fileid (2), then the times.
    if (r[0] == 0) {
        if (r.size() < 1 + 15) return RAW_NO_REPLY;
        *size = uint64_t(r[1 + 5]) << 32 | r[1 + 6];
        *fileid = uint64_t(r[1 + 13]) << 32 | r[1 + 14];
    }
    return r[0];
}
