// Directory replies as a client reads them: a decoder of RFC 1094
// readdirres, RFC 1813 READDIR3res and READDIRPLUS3res written from the RFC
// layouts, not from the server's encoders, and one request run through the
// server's handler and encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum dir_form { DIR_V2, DIR_V3, DIR_PLUS };

struct dir_entry {
    uint64_t cookie = 0;
    std::string name;
    bool attr = false, fh = false;  // READDIRPLUS: fattr3 and handle present
    uint32_t offset = 0;            // where the entry starts in the reply
};

struct dir_reply {
    std::string error;  // why the bytes are no well-formed reply; "" when they are
    uint32_t status = 0xFFFFFFFF;
    std::vector<dir_entry> entries;
    bool eof = false;
    uint32_t length = 0;

    std::vector<std::string> names() const;
};

// Decodes exactly `n` bytes: bytes left over or missing, a pad byte or a
// verifier byte that is not 0, or a boolean other than 0 and 1 set `error`.
dir_reply dir_decode(dir_form form, const uint8_t *bytes, uint32_t n);

// One request with a handle of 32 bytes (version 3 sends the first 16):
// nfs_dirlist_fill as uid 500, then the form's encoder. The raw reply is
// empty when it is longer than max(limit, 164) + 8 bytes or the encoder
// wrote past them.
std::vector<uint8_t> dir_bytes(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                               uint32_t dircount = 0);
dir_reply dir_request(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                      uint32_t dircount = 0);
