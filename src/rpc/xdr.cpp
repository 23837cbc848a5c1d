// XDR primitives: bounded decoders over a call's argument cursor and the
// encoders that write replies straight into the transport buffer.
#include "rpc/xdr.h"

#include <cstdarg>
#include <cstring>

#include "rpc/rpc.h"

namespace {

// True when `words` more words starting at the cursor lie inside the
// arguments. Computed in 64 bits so that no length word can wrap it.
bool args_hold(const rpc_call *call, uint64_t words) {
    return (uint64_t(call->pos) + words) * 4 <= call->arg_len;
}

uint32_t put_pad(uint8_t *out, uint32_t n) {
    uint32_t pad = xdr_pad(n);
    memset(out + n, 0, pad);
    return n + pad;
}

}  // namespace

bool xdr_get_u32(rpc_call *call, uint32_t *value) {
    if (!args_hold(call, 1)) return false;
    *value = ntohl(call->args[call->pos]);
    call->pos++;
    return true;
}

bool xdr_get_u64(rpc_call *call, uint64_t *value) {
    if (!args_hold(call, 2)) return false;
    *value = uint64_t(ntohl(call->args[call->pos])) << 32 | ntohl(call->args[call->pos + 1]);
    call->pos += 2;
    return true;
}

bool xdr_get_fixed32(rpc_call *call, uint8_t dest[32]) {
    if (!args_hold(call, 8)) return false;
    memcpy(dest, call->args + call->pos, 32);
    call->pos += 8;
    return true;
}

uint32_t xdr_get_string(rpc_call *call, char *dest, uint32_t max) {
    dest[0] = 0;
    if (!args_hold(call, 1)) return 0;
    uint32_t n = ntohl(call->args[call->pos]);
    if (n > max) return 0;
    // The bytes must be there; the padding behind them need not be.
    if ((uint64_t(call->pos) + 1) * 4 + n > call->arg_len) return 0;
    memcpy(dest, call->args + call->pos + 1, n);
    dest[n] = 0;
    call->pos += 1 + (n + 3) / 4;
    return n + 1;
}

uint32_t xdr_put_u32(uint8_t *out, uint32_t value) {
    uint32_t net = htonl(value);
    memcpy(out, &net, 4);
    return 4;
}

uint32_t xdr_put_u64(uint8_t *out, uint64_t value) {
    xdr_put_u32(out, uint32_t(value >> 32));
    return 4 + xdr_put_u32(out + 4, uint32_t(value));
}

uint32_t xdr_put_fixed(uint8_t *out, const void *bytes, uint32_t n) {
    // Encoders that read straight into the reply pass their own output.
    if (bytes != out) memmove(out, bytes, n);
    return put_pad(out, n);
}

uint32_t xdr_put_opaque(uint8_t *out, const void *bytes, uint32_t n) {
    uint32_t len = xdr_put_u32(out, n);
    return len + xdr_put_fixed(out + len, bytes, n);
}

uint32_t xdr_pack(uint8_t *out, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    uint32_t len = 0;
    for (const char *f = format; *f; f++) {
        switch (*f) {
            case 'q':
                len += xdr_put_u32(out + len, va_arg(ap, uint32_t));
                break;
            case 'w':
                // A 16-bit argument arrives promoted to int.
                len += xdr_put_u32(out + len, uint32_t(va_arg(ap, int)) & 0xFFFF);
                break;
            case 'o': {
                const uint8_t *p = va_arg(ap, const uint8_t *);
                uint32_t n;
                memcpy(&n, p, 4);
                len += xdr_put_opaque(out + len, p + 4, n);
                break;
            }
            case 'O': {
                const uint8_t *p = va_arg(ap, const uint8_t *);
                uint32_t n;
                memcpy(&n, p, 4);
                n = ntohl(n);
                memmove(out + len, p, 4 + n);
                len += 4 + put_pad(out + len + 4, n);
                break;
            }
            default:
                break;
        }
    }
    va_end(ap);
    return len;
}

void xdr_out_init(xdr_out *o, uint8_t *start, uint32_t room) {
    o->start = o->p = start;
    o->end = start + room;
    o->overflow = false;
}

uint8_t *xdr_reserve(xdr_out *o, uint32_t n) {
    if (o->overflow || n > xdr_out_room(o)) {
        o->overflow = true;
        return nullptr;
    }
    uint8_t *at = o->p;
    o->p += n;
    return at;
}

void xdr_u32(xdr_out *o, uint32_t value) {
    if (uint8_t *at = xdr_reserve(o, 4)) xdr_put_u32(at, value);
}

void xdr_u64(xdr_out *o, uint64_t value) {
    if (uint8_t *at = xdr_reserve(o, 8)) xdr_put_u64(at, value);
}

void xdr_u32s(xdr_out *o, const uint32_t *values, uint32_t count) {
    if (uint8_t *at = xdr_reserve(o, 4 * count))
        for (uint32_t i = 0; i < count; i++) xdr_put_u32(at + 4 * i, values[i]);
}

void xdr_fixed(xdr_out *o, const void *bytes, uint32_t n) {
    if (uint8_t *at = xdr_reserve(o, n + xdr_pad(n))) xdr_put_fixed(at, bytes, n);
}

void xdr_opaque(xdr_out *o, const void *bytes, uint32_t n) {
    if (uint8_t *at = xdr_reserve(o, 4 + n + xdr_pad(n))) xdr_put_opaque(at, bytes, n);
}
