// XDR: big-endian words, strings and opaques with a length word and zero
// padding to 4 bytes. Decoders read the argument area of a received call in
// place through the call's cursor and never read past its argument length;
// encoders write into the transport buffer and return the bytes written.
#pragma once

#include <cstddef>
#include <cstdint>

struct rpc_call;

// Pad bytes after n bytes of data: (4 - n % 4) % 4.
inline uint32_t xdr_pad(uint32_t n) {
    return (4 - n % 4) % 4;
}

// Reads one word at the cursor into `*value` (host order) and advances the
// cursor; false, with the cursor unchanged, when the word lies beyond the
// argument length.
bool xdr_get_u32(rpc_call *call, uint32_t *value);

// A 64-bit hyper (high word first); false, cursor unchanged, when short.
bool xdr_get_u64(rpc_call *call, uint64_t *value);

// Copies 8 words (32 bytes, byte order kept) to `dest`; false when fewer
// than 8 words remain.
bool xdr_get_fixed32(rpc_call *call, uint8_t dest[32]);

// Reads a string of at most `max` bytes into `dest` (which holds max + 1)
// with a terminating zero. Returns n + 1 on success; 0 on failure, leaving
// `dest` empty and the cursor unchanged.
uint32_t xdr_get_string(rpc_call *call, char *dest, uint32_t max);

// Encoders. Each returns the number of bytes written, a multiple of 4. They
// never check the buffer's end: callers bound what they return.
uint32_t xdr_put_u32(uint8_t *out, uint32_t value);
uint32_t xdr_put_u64(uint8_t *out, uint64_t value);
uint32_t xdr_put_u32_array(uint8_t *out, const uint32_t *values, uint32_t count);
uint32_t xdr_put_fixed(uint8_t *out, const void *bytes, uint32_t n);
uint32_t xdr_put_opaque(uint8_t *out, const void *bytes, uint32_t n);
uint32_t xdr_put_opaque_max(uint8_t *out, const void *bytes, uint32_t n, uint32_t max);

// Packs one item per format letter: 'q' a 32-bit host-order value, 'w' a
// 16-bit value widened to a word, 'o' a pointer to a host-order length word
// followed by the bytes, 'O' a pointer to a network-order length word and its
// bytes as received. Other characters are skipped and take no argument.
uint32_t xdr_pack(uint8_t *out, const char *format, ...);
