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

// Raw encoders, for headers of a known size. Each returns the number of
// bytes written, a multiple of 4; none checks the buffer's end. Results go
// through an xdr_out (below).
uint32_t xdr_put_u32(uint8_t *out, uint32_t value);
uint32_t xdr_put_u64(uint8_t *out, uint64_t value);
uint32_t xdr_put_fixed(uint8_t *out, const void *bytes, uint32_t n);
uint32_t xdr_put_opaque(uint8_t *out, const void *bytes, uint32_t n);

// The output of a result encoder: bytes from `start` on, never past `end`.
// A write that does not fit writes nothing and marks the output as
// overflowed; rpc_reply then answers a system error instead. Every write
// after an overflow is refused too.
struct xdr_out {
    uint8_t *start;
    uint8_t *p;    // the next byte
    uint8_t *end;  // one past the last byte the result may take
    bool overflow;
};
void xdr_out_init(xdr_out *o, uint8_t *start, uint32_t room);
inline uint32_t xdr_out_length(const xdr_out *o) {
    return uint32_t(o->p - o->start);
}
inline uint32_t xdr_out_room(const xdr_out *o) {
    return uint32_t(o->end - o->p);
}
// Drops what was written after the first `length` bytes.
inline void xdr_out_rewind(xdr_out *o, uint32_t length) {
    o->p = o->start + length;
}
// The place of the next `n` bytes, which the caller fills; null when they
// do not fit.
uint8_t *xdr_reserve(xdr_out *o, uint32_t n);
void xdr_u32(xdr_out *o, uint32_t value);
void xdr_u64(xdr_out *o, uint64_t value);
// `count` words.
void xdr_u32s(xdr_out *o, const uint32_t *values, uint32_t count);
// `n` bytes and their zero padding; with a length word before them.
void xdr_fixed(xdr_out *o, const void *bytes, uint32_t n);
void xdr_opaque(xdr_out *o, const void *bytes, uint32_t n);

// Packs one item per format letter: 'q' a 32-bit host-order value, 'w' a
// 16-bit value widened to a word, 'o' a pointer to a host-order length word
// followed by the bytes, 'O' a pointer to a network-order length word and its
// bytes as received. Other characters are skipped and take no argument.
uint32_t xdr_pack(uint8_t *out, const char *format, ...);
