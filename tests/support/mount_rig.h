// Test helpers for the mount service: a rig that serves MOUNT calls from any
// loopback address (each 127.x.y.z plays another client) and reads the DUMP
// and EXPORT replies strictly, and a stand-in resolver the test controls.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mountd/mount_internal.h"
#include "platform/bytes.h"
#include "rpc/clnt.h"
#include "rpc/rpc.h"
#include "support/exports_env.h"
#include "support/rpc_msg.h"

inline std::vector<uint8_t> mount_dirpath(const std::string &path) {
    std::vector<uint8_t> a;
    rpc_msg_word(a, uint32_t(path.size()));
    rpc_msg_opaque(a, path.data(), uint32_t(path.size()));
    return a;
}
// A reply's results (from byte 24) when its accept status is 0.
inline std::vector<uint8_t> mount_results(const std::vector<uint8_t> &reply) {
    if (rpc_msg_accept_status(reply) != 0) return {};
    return std::vector<uint8_t>(reply.begin() + 24, reply.end());
}

// The stand-in resolver (the rig installs it): answers the name set for the
// address when the call begins. While held, calls wait inside it until
// released, oldest first.
struct mount_names {
    std::mutex lock;
    std::condition_variable changed;
    std::map<uint32_t, std::string> names;
    bool held = false;
    uint32_t released = 0;  // while held, calls up to this number go on
    uint32_t calls = 0, inside = 0;
};
inline mount_names names_stand_in;

inline bool mount_names_resolve(uint32_t address, char *name, uint32_t size) {
    mount_names &n = names_stand_in;
    std::unique_lock<std::mutex> hold(n.lock);
    uint32_t seq = ++n.calls;
    auto it = n.names.find(address);
    std::string found = it == n.names.end() ? "" : it->second;
    n.inside++;
    n.changed.notify_all();
    n.changed.wait(hold, [&n, seq] { return !n.held || seq <= n.released; });
    n.inside--;
    snprintf(name, size, "%s", found.c_str());
    return !found.empty();
}
inline void mount_names_set(uint32_t address, const std::string &name) {
    std::lock_guard<std::mutex> hold(names_stand_in.lock);
    names_stand_in.names[address] = name;
}
inline void mount_names_hold(bool on) {
    std::lock_guard<std::mutex> hold(names_stand_in.lock);
    names_stand_in.held = on;
    names_stand_in.released = names_stand_in.calls;
    names_stand_in.changed.notify_all();
}
inline void mount_names_release(uint32_t n) {
    std::lock_guard<std::mutex> hold(names_stand_in.lock);
    names_stand_in.released += n;
    names_stand_in.changed.notify_all();
}
inline uint32_t mount_names_calls() {
    std::lock_guard<std::mutex> hold(names_stand_in.lock);
    return names_stand_in.calls;
}
// Waits until `n` calls are inside the resolver (up to 3 s).
inline bool mount_names_wait_inside(uint32_t n) {
    std::unique_lock<std::mutex> hold(names_stand_in.lock);
    return names_stand_in.changed.wait_for(hold, std::chrono::seconds(3),
                                           [n] { return names_stand_in.inside >= n; });
}

// The world of exports_env, MOUNT versions 1 to 3 in the RPC registry (no
// portmapper), an empty table, and a UDP transport of the mount service's
// size for each client.
class mount_rig {
   public:
    mount_rig() {
        {
            std::lock_guard<std::mutex> hold(names_stand_in.lock);
            names_stand_in.names.clear();
            names_stand_in.held = false;
            names_stand_in.calls = names_stand_in.inside = names_stand_in.released = 0;
        }
        mount_resolver = mount_names_resolve;
        mount_table_clear();
        rpc_pmap_call = nullptr;
        for (uint32_t v : {MOUNT_V1, MOUNT_V2})
            rpc_register(nullptr, MOUNT_PROG, v, mount1_dispatch, RPC_UDP);
        rpc_register(nullptr, MOUNT_PROG, MOUNT_V3, mount3_dispatch, RPC_UDP);
    }
    ~mount_rig() {
        mount_names_hold(false);
        mount_lookup_stop();
        mount_table_clear();
        mount_resolver = net_host_name;
        for (uint32_t v : {MOUNT_V1, MOUNT_V2, MOUNT_V3}) rpc_unregister(MOUNT_PROG, v, RPC_UDP);
    }
    mount_rig(const mount_rig &) = delete;
    mount_rig &operator=(const mount_rig &) = delete;

    // Serves one call from `client` and answers the reply, empty when none.
    std::vector<uint8_t> call(const char *client, uint32_t vers, uint32_t proc,
                              const std::vector<uint8_t> &args = {}) {
        std::unique_ptr<rpc_rig> &rig = clients_[client];
        if (!rig) rig = std::make_unique<rpc_rig>(MOUNT_BUFFER, client);
        std::vector<uint8_t> msg = rpc_msg_call(xid_++, MOUNT_PROG, vers, proc);
        msg.insert(msg.end(), args.begin(), args.end());
        return rig->serve(msg, rpc_dispatch, nullptr, 200);
    }
    // MNT: answers the status (~0u without results) and the results.
    uint32_t mnt(const char *client, uint32_t vers, const std::string &path,
                 std::vector<uint8_t> *results = nullptr) {
        std::vector<uint8_t> r = mount_results(call(client, vers, 1, mount_dirpath(path)));
        if (results) *results = r;
        return r.size() < 4 ? ~0u : load_be32(r.data());
    }
    // DUMP (2) or EXPORT (5), parsed: one row a host and its path, or a
    // directory and its groups. The test fails unless the reply is exactly
    // one well-formed list with its end words.
    std::vector<std::vector<std::string>> list(uint32_t proc) {
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

    // The whole table, newest first: "dotted-client path", then " name"
    // once the client's name is known.
    std::vector<std::string> table() const {
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

    exports_env env;

   private:
    std::map<std::string, std::unique_ptr<rpc_rig>> clients_;  // one per client address
    uint32_t xid_ = 1;
};
