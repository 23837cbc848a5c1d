#include "support/mount_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "mountd/mount_internal.h"
#include "platform/bytes.h"
#include "rpc/clnt.h"
#include "support/rpc_msg.h"

uint32_t mount_addr(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// ---- Replies ------------------------------------------------------------------

namespace {

struct xdr_reader {
    const uint8_t *p;
    size_t left;
    bool word(uint32_t *v) {
        if (left < 4) return false;
        *v = load_be32(p);
        p += 4;
        left -= 4;
        return true;
    }
    bool string(std::string *s, uint32_t max) {
        uint32_t n;
        if (!word(&n) || n > max || n + xdr_pad(n) > left) return false;
        s->assign(reinterpret_cast<const char *>(p), n);
        for (uint32_t i = 0; i < xdr_pad(n); i++)
            if (p[n + i] != 0) return false;
        p += n + xdr_pad(n);
        left -= n + xdr_pad(n);
        return true;
    }
};

}  // namespace

bool mount_parse_dump(const uint8_t *p, size_t n, std::vector<mount_dump_row> *rows) {
    xdr_reader r{p, n};
    rows->clear();
    for (uint32_t more; r.word(&more);) {
        if (more == 0) return r.left == 0;
        if (more != 1) return false;
        mount_dump_row row;
        if (!r.string(&row.host, 512) || !r.string(&row.path, 1024)) return false;
        rows->push_back(row);
    }
    return false;
}

bool mount_parse_exports(const uint8_t *p, size_t n, std::vector<mount_export_row> *rows) {
    xdr_reader r{p, n};
    rows->clear();
    for (uint32_t more; r.word(&more);) {
        if (more == 0) return r.left == 0;
        if (more != 1) return false;
        mount_export_row row;
        if (!r.string(&row.dir, 1024)) return false;
        for (uint32_t group;;) {
            if (!r.word(&group) || group > 1) return false;
            if (group == 0) break;
            std::string g;
            if (!r.string(&g, 1024)) return false;
            row.groups.push_back(g);
        }
        rows->push_back(row);
    }
    return false;
}

std::vector<uint8_t> mount_results(const std::vector<uint8_t> &reply) {
    if (reply.size() < 24 || mount_accept_status(reply) != 0) return {};
    return std::vector<uint8_t>(reply.begin() + 24, reply.end());
}

uint32_t mount_accept_status(const std::vector<uint8_t> &reply) {
    std::vector<uint32_t> w = rpc_msg_words(reply);
    // xid, REPLY, MSG_ACCEPTED, verifier flavour, empty verifier, status
    if (w.size() < 6 || w[1] != 1 || w[2] != 0 || w[4] != 0) return ~0u;
    return w[5];
}

std::vector<uint8_t> mount_msg(uint32_t xid, uint32_t vers, uint32_t proc,
                               const std::vector<uint8_t> &args) {
    std::vector<uint8_t> m = rpc_msg_call(xid, MOUNT_PROG, vers, proc);
    m.insert(m.end(), args.begin(), args.end());
    return m;
}

std::vector<uint8_t> mount_dirpath(const std::string &path) {
    std::vector<uint8_t> a;
    rpc_msg_word(a, uint32_t(path.size()));
    rpc_msg_opaque(a, path.data(), uint32_t(path.size()));
    return a;
}

// ---- Names ----------------------------------------------------------------------

namespace {

std::mutex names_lock;
std::condition_variable names_changed;
std::map<uint32_t, std::string> names;
bool held = false;
uint32_t released = 0;
int delay_ms = 0;  // while held, calls up to this number may go on
uint32_t calls = 0, inside = 0, peak = 0;

}  // namespace

bool mount_names_resolve(uint32_t address, char *name, uint32_t size) {
    std::unique_lock<std::mutex> hold(names_lock);
    uint32_t seq = ++calls;
    auto it = names.find(address);
    std::string found = it == names.end() ? "" : it->second;  // the name as the call begins
    inside++;
    if (inside > peak) peak = inside;
    names_changed.notify_all();
    names_changed.wait(hold, [seq] { return !held || seq <= released; });
    if (delay_ms > 0) {
        // A slow name server: the look-up takes a while, outside our lock.
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        hold.lock();
    }
    inside--;
    names_changed.notify_all();
    if (found.empty()) return false;
    snprintf(name, size, "%s", found.c_str());
    return true;
}

void mount_names_reset() {
    std::lock_guard<std::mutex> hold(names_lock);
    names.clear();
    held = false;
    calls = inside = peak = released = 0;
    delay_ms = 0;
    names_changed.notify_all();
}

void mount_names_set(uint32_t address, const std::string &name) {
    std::lock_guard<std::mutex> hold(names_lock);
    names[address] = name;
}

void mount_names_hold(bool on) {
    std::lock_guard<std::mutex> hold(names_lock);
    held = on;
    released = calls;
    names_changed.notify_all();
}

void mount_names_delay(int ms) {
    std::lock_guard<std::mutex> hold(names_lock);
    delay_ms = ms;
}

void mount_names_release(uint32_t n) {
    std::lock_guard<std::mutex> hold(names_lock);
    released += n;
    names_changed.notify_all();
}

uint32_t mount_names_calls() {
    std::lock_guard<std::mutex> hold(names_lock);
    return calls;
}

uint32_t mount_names_peak() {
    std::lock_guard<std::mutex> hold(names_lock);
    return peak;
}

bool mount_names_wait_inside(uint32_t n) {
    std::unique_lock<std::mutex> hold(names_lock);
    return names_changed.wait_for(hold, std::chrono::seconds(3), [n] { return inside >= n; });
}

// ---- The rig --------------------------------------------------------------------

mount_rig::mount_rig() {
    mount_names_reset();
    mount_resolver = mount_names_resolve;
    mount_table_clear();
    rpc_pmap_call = nullptr;
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    if (s != SOCK_INVALID) xp_ = xprt_create(s, RPC_UDP, rpc_sock_port(s), MOUNT_BUFFER);
    EXPECT_NE(xp_, nullptr);
    if (!xp_) return;
    for (uint32_t v : {MOUNT_V1, MOUNT_V2})
        EXPECT_TRUE(rpc_register(xp_, MOUNT_PROG, v, mount1_dispatch, RPC_UDP));
    EXPECT_TRUE(rpc_register(xp_, MOUNT_PROG, MOUNT_V3, mount3_dispatch, RPC_UDP));
}

mount_rig::~mount_rig() {
    mount_names_hold(false);
    mount_lookup_stop();
    mount_table_clear();
    mount_resolver = net_host_name;
    for (uint32_t v : {MOUNT_V1, MOUNT_V2, MOUNT_V3}) rpc_unregister(MOUNT_PROG, v, RPC_UDP);
    if (xp_) {
        sock_close(xp_->sock);
        xprt_free(xp_);
    }
    for (auto &c : clients_) sock_close(c.second);
}

std::vector<uint8_t> mount_rig::call(const char *client, const std::vector<uint8_t> &msg) {
    if (!xp_) return {};
    auto it = clients_.find(client);
    if (it == clients_.end()) it = clients_.emplace(client, udp_socket(mount_addr(client), 0)).first;
    sock_t s = it->second;
    xp_->peer = sockaddr_in{};
    xp_->peer.sin_family = AF_INET;
    xp_->peer.sin_addr.s_addr = mount_addr(client);
    xp_->peer.sin_port = htons(rpc_sock_port(s));
    xp_->peer_len = sizeof(sockaddr_in);
    uint32_t n = msg.size() < xp_->size ? uint32_t(msg.size()) : xp_->size;
    memcpy(xp_->msg, msg.data(), n);
    xp_->count = int32_t(n);
    rpc_call c{};
    if (rpc_decode_call(xp_, &c)) rpc_dispatch(xp_, &c);
    return rpc_recv_datagram(s, 200);
}

std::vector<uint8_t> mount_rig::call(const char *client, uint32_t vers, uint32_t proc,
                                     const std::vector<uint8_t> &args) {
    return call(client, mount_msg(xid_++, vers, proc, args));
}

mount_rig::mnt_answer mount_rig::mnt(const char *client, uint32_t vers, const std::string &path) {
    mnt_answer a;
    std::vector<uint8_t> r = mount_results(call(client, vers, 1, mount_dirpath(path)));
    std::vector<uint32_t> w = rpc_msg_words(r);
    if (w.empty()) return a;
    a.status = w[0];
    if (a.status != 0) {
        EXPECT_EQ(r.size(), 4u) << "a failed MNT carries the status only";
        return a;
    }
    if (vers != MOUNT_V3) {
        EXPECT_EQ(r.size(), 36u);
        a.fh.assign(r.begin() + 4, r.end());
        return a;
    }
    // fhandle3 as an opaque, then the flavour array; nothing after it.
    uint32_t n = w.size() > 1 ? w[1] : 0;
    size_t at = (8 + n + xdr_pad(n)) / 4;
    if (n > 64 || w.size() <= at || w.size() != at + 1 + w[at]) {
        ADD_FAILURE() << "malformed mountres3";
        return a;
    }
    a.fh.assign(r.begin() + 8, r.begin() + 8 + n);
    a.flavors.assign(w.begin() + long(at) + 1, w.end());
    return a;
}

void mount_rig::umnt(const char *client, const std::string &path, uint32_t vers) {
    EXPECT_EQ(mount_accept_status(call(client, vers, 3, mount_dirpath(path))), 0u);
}

void mount_rig::umntall(const char *client, uint32_t vers) {
    EXPECT_EQ(mount_accept_status(call(client, vers, 4)), 0u);
}

std::vector<mount_dump_row> mount_rig::dump(uint32_t vers) {
    std::vector<uint8_t> r = mount_results(call("127.0.0.1", vers, 2));
    std::vector<mount_dump_row> rows;
    EXPECT_TRUE(mount_parse_dump(r.data(), r.size(), &rows)) << "malformed mountlist";
    return rows;
}

std::vector<mount_export_row> mount_rig::exports(uint32_t vers) {
    std::vector<uint8_t> r = mount_results(call("127.0.0.1", vers, 5));
    std::vector<mount_export_row> rows;
    EXPECT_TRUE(mount_parse_exports(r.data(), r.size(), &rows)) << "malformed exportlist";
    return rows;
}

std::vector<std::pair<std::string, std::string>> mount_rig::table() const {
    std::vector<std::pair<std::string, std::string>> out;
    mount_table_visit(
        [](void *ctx, const mount_entry *e) {
            char dotted[16];
            mount_dotted(e->client, dotted);
            static_cast<std::vector<std::pair<std::string, std::string>> *>(ctx)->emplace_back(
                dotted, e->path);
        },
        &out);
    return out;
}
