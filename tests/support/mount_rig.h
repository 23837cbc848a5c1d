// Test helpers for the mount service: a rig that serves MOUNT calls from any
// loopback address (127.x.y.z plays a different client each), parsers of
// the DUMP and EXPORT replies that refuse anything not well formed, and a
// stand-in resolver whose names and timing the test controls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "support/exports_env.h"

// An address in network order from its dotted form.
uint32_t mount_addr(const char *dotted);

// ---- Replies ------------------------------------------------------------------

struct mount_dump_row {
    std::string host, path;
    bool operator==(const mount_dump_row &) const = default;
};
struct mount_export_row {
    std::string dir;
    std::vector<std::string> groups;
    bool operator==(const mount_export_row &) const = default;
};
// Parse the results of a DUMP or EXPORT reply; false unless the bytes are
// exactly one well-formed list with its end words.
bool mount_parse_dump(const uint8_t *p, size_t n, std::vector<mount_dump_row> *rows);
bool mount_parse_exports(const uint8_t *p, size_t n, std::vector<mount_export_row> *rows);

// The result words of an accepted reply with an empty verifier (from byte
// 24), and its accept status (word 5); ~0u for anything else.
std::vector<uint8_t> mount_results(const std::vector<uint8_t> &reply);
uint32_t mount_accept_status(const std::vector<uint8_t> &reply);

// A MOUNT call: header with AUTH_NULL, then `args`.
std::vector<uint8_t> mount_msg(uint32_t xid, uint32_t vers, uint32_t proc,
                               const std::vector<uint8_t> &args = {});
// A dirpath argument.
std::vector<uint8_t> mount_dirpath(const std::string &path);

// ---- Names ----------------------------------------------------------------------

// The stand-in resolver: answers the name given with mount_names_set as the
// call begins, no name otherwise. While held, look-ups wait inside it until
// released, oldest first. Counts its calls and the most that ran at once.
bool mount_names_resolve(uint32_t address, char *name, uint32_t size);
void mount_names_reset();
void mount_names_set(uint32_t address, const std::string &name);
void mount_names_hold(bool on);
void mount_names_release(uint32_t n);
// Every look-up takes `ms` milliseconds more, as with a slow name server.
void mount_names_delay(int ms);
uint32_t mount_names_calls();
uint32_t mount_names_peak();
// Waits until `n` look-ups are inside the resolver (up to 3 s).
bool mount_names_wait_inside(uint32_t n);

// ---- The rig --------------------------------------------------------------------

// The exports world of exports_env, the MOUNT versions 1-3 in the RPC
// registry (no portmapper), an empty mount table served by the stand-in
// resolver, and a UDP transport of the mount service's size.
class mount_rig {
   public:
    mount_rig();
    ~mount_rig();
    mount_rig(const mount_rig &) = delete;
    mount_rig &operator=(const mount_rig &) = delete;

    // Serves one call from `client` (a loopback address) and answers the
    // reply datagram, empty when none came.
    std::vector<uint8_t> call(const char *client, const std::vector<uint8_t> &msg);
    std::vector<uint8_t> call(const char *client, uint32_t vers, uint32_t proc,
                              const std::vector<uint8_t> &args = {});

    struct mnt_answer {
        uint32_t status = ~0u;
        std::vector<uint8_t> fh;         // 32 bytes (versions 1, 2) or 16 (version 3)
        std::vector<uint32_t> flavors;   // version 3 only
    };
    mnt_answer mnt(const char *client, uint32_t vers, const std::string &path);
    void umnt(const char *client, const std::string &path, uint32_t vers = 1);
    void umntall(const char *client, uint32_t vers = 1);
    // The parsed DUMP / EXPORT replies (the test fails when malformed).
    std::vector<mount_dump_row> dump(uint32_t vers = 1);
    std::vector<mount_export_row> exports(uint32_t vers = 1);

    // The whole table as (dotted client, path), newest first.
    std::vector<std::pair<std::string, std::string>> table() const;

    xprt *transport() const { return xp_; }
    exports_env env;

   private:
    xprt *xp_ = nullptr;
    std::map<std::string, sock_t> clients_;
    uint32_t xid_ = 1;
};
