#include "support/mount_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "mountd/mount_internal.h"
#include "platform/bytes.h"
#include "rpc/clnt.h"

uint32_t mount_addr(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
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

std::vector<uint8_t> mount_results(const std::vector<uint8_t> &reply) {
    if (rpc_msg_accept_status(reply) != 0) return {};
    return std::vector<uint8_t>(reply.begin() + 24, reply.end());
}

namespace {

std::mutex names_lock;
std::condition_variable names_changed;
std::map<uint32_t, std::string> names;
bool held = false;
uint32_t released = 0;  // while held, calls up to this number go on
uint32_t calls = 0, inside = 0;

bool names_resolve(uint32_t address, char *name, uint32_t size) {
    std::unique_lock<std::mutex> hold(names_lock);
    uint32_t seq = ++calls;
    auto it = names.find(address);
    std::string found = it == names.end() ? "" : it->second;
    inside++;
    names_changed.notify_all();
    names_changed.wait(hold, [seq] { return !held || seq <= released; });
    inside--;
    snprintf(name, size, "%s", found.c_str());
    return !found.empty();
}

}  // namespace

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

void mount_names_release(uint32_t n) {
    std::lock_guard<std::mutex> hold(names_lock);
    released += n;
    names_changed.notify_all();
}

uint32_t mount_names_calls() {
    std::lock_guard<std::mutex> hold(names_lock);
    return calls;
}

bool mount_names_wait_inside(uint32_t n) {
    std::unique_lock<std::mutex> hold(names_lock);
    return names_changed.wait_for(hold, std::chrono::seconds(3), [n] { return inside >= n; });
}

mount_rig::mount_rig() {
    {
        std::lock_guard<std::mutex> hold(names_lock);
        names.clear();
        held = false;
        calls = inside = released = 0;
    }
    mount_resolver = names_resolve;
    mount_table_clear();
    rpc_pmap_call = nullptr;
    for (uint32_t v : {MOUNT_V1, MOUNT_V2})
        rpc_register(nullptr, MOUNT_PROG, v, mount1_dispatch, RPC_UDP);
    rpc_register(nullptr, MOUNT_PROG, MOUNT_V3, mount3_dispatch, RPC_UDP);
}

mount_rig::~mount_rig() {
    mount_names_hold(false);
    mount_lookup_stop();
    mount_table_clear();
    mount_resolver = net_host_name;
    for (uint32_t v : {MOUNT_V1, MOUNT_V2, MOUNT_V3}) rpc_unregister(MOUNT_PROG, v, RPC_UDP);
}

std::vector<uint8_t> mount_rig::call(const char *client, uint32_t vers, uint32_t proc,
                                     const std::vector<uint8_t> &args) {
    std::unique_ptr<rpc_rig> &rig = clients_[client];
    if (!rig) rig = std::make_unique<rpc_rig>(MOUNT_BUFFER, client);
    return rig->serve(mount_msg(xid_++, vers, proc, args), rpc_dispatch, nullptr, 200);
}

uint32_t mount_rig::mnt(const char *client, uint32_t vers, const std::string &path,
                        std::vector<uint8_t> *results) {
    std::vector<uint8_t> r = mount_results(call(client, vers, 1, mount_dirpath(path)));
    if (results) *results = r;
    return r.size() < 4 ? ~0u : load_be32(r.data());
}

std::vector<std::vector<std::string>> mount_rig::list(uint32_t proc) {
    std::vector<uint8_t> r = mount_results(call("127.0.0.1", 1, proc));
    rpc_reader x{r.data(), uint32_t(r.size())};
    std::vector<std::vector<std::string>> rows;
    while (x.boolean() && x.error.empty()) {
        std::vector<std::string> &row = rows.emplace_back(1, x.opaque(x.word()));
        if (proc == 2)
            row.push_back(x.opaque(x.word()));
        else
            while (x.boolean() && x.error.empty()) row.push_back(x.opaque(x.word()));
    }
    EXPECT_TRUE(x.done()) << "malformed list: " << x.error;
    return rows;
}

std::vector<std::string> mount_rig::table() const {
    std::vector<std::string> out;
    mount_table_visit(
        [](void *ctx, const mount_entry *e) {
            char dotted[16];
            mount_dotted(e->client, dotted);
            std::string row = std::string(dotted) + " " + e->path;
            if (e->host[0]) row += std::string(" ") + e->host;
            static_cast<std::vector<std::string> *>(ctx)->push_back(row);
        },
        &out);
    return out;
}
