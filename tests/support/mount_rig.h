// Test helpers for the mount service: a rig that serves MOUNT calls from any
// loopback address (each 127.x.y.z plays another client) and reads the DUMP
// and EXPORT replies strictly, and a stand-in resolver the test controls.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "support/exports_env.h"
#include "support/rpc_msg.h"

// An address in network order from its dotted form.
uint32_t mount_addr(const char *dotted);

// A MOUNT call with AUTH_NULL and `args`; a dirpath argument.
std::vector<uint8_t> mount_msg(uint32_t xid, uint32_t vers, uint32_t proc,
                               const std::vector<uint8_t> &args = {});
std::vector<uint8_t> mount_dirpath(const std::string &path);
// A reply's results (from byte 24) when its accept status is 0.
std::vector<uint8_t> mount_results(const std::vector<uint8_t> &reply);

// The stand-in resolver (the rig installs it): answers the name set for the
// address when the call begins. While held, calls wait inside it until
// released, oldest first.
void mount_names_set(uint32_t address, const std::string &name);
void mount_names_hold(bool on);
void mount_names_release(uint32_t n);
uint32_t mount_names_calls();
// Waits until `n` calls are inside the resolver (up to 3 s).
bool mount_names_wait_inside(uint32_t n);

// The world of exports_env, MOUNT versions 1 to 3 in the RPC registry (no
// portmapper), an empty table, and a UDP transport of the mount service's
// size for each client.
class mount_rig {
   public:
    mount_rig();
    ~mount_rig();
    mount_rig(const mount_rig &) = delete;
    mount_rig &operator=(const mount_rig &) = delete;

    // Serves one call from `client` and answers the reply, empty when none.
    std::vector<uint8_t> call(const char *client, uint32_t vers, uint32_t proc,
                              const std::vector<uint8_t> &args = {});

    // MNT: answers the status (~0u without results) and the results.
    uint32_t mnt(const char *client, uint32_t vers, const std::string &path,
                 std::vector<uint8_t> *results = nullptr);
    // DUMP (2) or EXPORT (5), parsed: one row a host and its path, or a
    // directory and its groups. The test fails unless the reply is exactly
    // one well-formed list with its end words.
    std::vector<std::vector<std::string>> list(uint32_t proc);
    // The whole table, newest first: "dotted-client path", then " name"
    // once the client's name is known.
    std::vector<std::string> table() const;

    exports_env env;

   private:
    std::map<std::string, std::unique_ptr<rpc_rig>> clients_;  // one per client address
    uint32_t xid_ = 1;
};
