// Directory replies as a client reads them: an independent decoder of RFC
// 1094 readdirres, RFC 1813 READDIR3res and READDIRPLUS3res, written from
// the RFC layouts and not from the server's encoders, and a helper that runs
// one request through the server's handler and encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rpc/rpc.h"

enum dir_form { DIR_V2, DIR_V3, DIR_PLUS };

struct dir_entry {
    uint64_t fileid = 0;
    std::string name;
    uint64_t cookie = 0;
    bool has_attr = false;       // READDIRPLUS name_attributes
    std::vector<uint32_t> attr;  // the 21 words of fattr3
    bool has_fh = false;         // READDIRPLUS name_handle
    std::vector<uint8_t> fh;
    uint32_t offset = 0;  // where the entry's value_follows word starts
};

struct dir_reply {
    std::string error;  // why the bytes are not a well-formed reply; "" when they are
    uint32_t status = 0xFFFFFFFF;
    bool has_dir_attr = false;  // version 3
    std::vector<uint32_t> dir_attr;
    std::vector<uint8_t> verf;
    std::vector<dir_entry> entries;
    bool eof = false;
    uint32_t length = 0;  // bytes of the reply

    std::vector<std::string> names() const;
    std::vector<uint64_t> cookies() const;
};

// Decodes exactly `n` bytes; bytes left over or missing, a non-zero pad byte,
// a boolean other than 0 or 1 or a name longer than 1024 bytes set `error`.
dir_reply dir_decode(dir_form form, const uint8_t *bytes, uint32_t n);

// The encoded reply of one request (nfs_dirlist_fill, then the form's
// encoder), or empty when the encoder wrote past max(limit, 164) + 8 bytes.
std::vector<uint8_t> dir_bytes(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                               uint32_t dircount = 0, uint32_t uid = 500, uint32_t gid = 100);

// One request: nfs_dirlist_fill with the handle (32 bytes; version 3 forms
// use its first 16), then the form's encoder into a buffer whose bytes past
// max(limit, 164) + 8 are checked to be untouched; the result decoded.
dir_reply dir_request(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                      uint32_t dircount = 0, uint32_t uid = 500, uint32_t gid = 100);

// Every entry of a directory by cookies, as a client lists it: from cookie 0
// until eof (at most `max_replies` replies).
dir_reply dir_list_all(dir_form form, const uint8_t *fh, uint32_t count, uint32_t dircount = 0,
                       uint32_t max_replies = 100000);
