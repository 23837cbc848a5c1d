// The portmapper's procedures: NULL, SET, UNSET, GETPORT, DUMP and CALLIT.
// Each decodes its arguments in place, takes what it needs from the table
// under its lock, and answers with one reply.
#include <cstring>

#include "pmap/pmap_internal.h"
#include "rpc/clnt.h"
#include "rpc/rpc_proc.h"
#include "base/log.h"

namespace {

enum : uint32_t {
    PMAPPROC_NULL = 0,
    PMAPPROC_SET = 1,
    PMAPPROC_UNSET = 2,
    PMAPPROC_GETPORT = 3,
    PMAPPROC_DUMP = 4,
    PMAPPROC_CALLIT = 5,
};

constexpr uint32_t MAPPING_ARGS = 16;   // program, version, protocol, port
constexpr uint32_t CALLIT_HEADER = 16;  // program, version, procedure, argument length
constexpr uint32_t DUMP_BYTES = 512;    // entries are written while fewer than this

struct dump_result {
    uint32_t count;
    pmap_entry entries[PMAP_DUMP_MAX];
};

void encode_word(xdr_out *o, const void *result) {
    xdr_u32(o, *static_cast<const uint32_t *>(result));
}

void encode_dump(xdr_out *o, const void *result) {
    const dump_result *d = static_cast<const dump_result *>(result);
    for (uint32_t i = 0; i < d->count && xdr_out_length(o) < DUMP_BYTES; i++) {
        const pmap_entry &e = d->entries[i];
        const uint32_t words[] = {1, e.prog, e.vers, e.prot, e.port};
        xdr_u32s(o, words, 5);
    }
    xdr_u32(o, 0);
}

// The four words of SET, UNSET and GETPORT; exactly 16 bytes or nothing.
bool decode_mapping(rpc_call *call, void *args) {
    pmap_entry *m = static_cast<pmap_entry *>(args);
    return call->arg_len == MAPPING_ARGS && xdr_get_u32(call, &m->prog) &&
           xdr_get_u32(call, &m->vers) && xdr_get_u32(call, &m->prot) &&
           xdr_get_u32(call, &m->port);
}

bool decode_none(rpc_call *call, void *) {
    return call->arg_len == 0;
}

bool pmap_null(xprt *, rpc_call *, void *, void *) {
    return true;
}

bool pmap_set(xprt *xp, rpc_call *, void *args, void *result) {
    const pmap_entry *m = static_cast<const pmap_entry *>(args);
    bool ok = pmap_caller_allowed(&xp->peer, m->port) &&
              pmap_list_set(m->prog, m->vers, m->prot, m->port, &xp->peer);
    *static_cast<uint32_t *>(result) = ok ? 1 : 0;
    return true;
}

bool pmap_unset(xprt *xp, rpc_call *, void *args, void *result) {
    const pmap_entry *m = static_cast<const pmap_entry *>(args);
    bool ok = pmap_caller_allowed(&xp->peer, 0) && pmap_list_unset(m->prog, m->vers, &xp->peer);
    *static_cast<uint32_t *>(result) = ok ? 1 : 0;
    return true;
}

bool pmap_getport(xprt *, rpc_call *, void *args, void *result) {
    const pmap_entry *m = static_cast<const pmap_entry *>(args);
    pmap_entry found;
    *static_cast<uint32_t *>(result) =
        pmap_lookup(m->prog, m->vers, m->prot, &found) ? found.port : 0;
    return true;
}

bool pmap_dump_proc(xprt *, rpc_call *, void *, void *result) {
    dump_result *d = static_cast<dump_result *>(result);
    d->count = pmap_list_copy(d->entries, PMAP_DUMP_MAX);
    return true;
}

// Forwards a call to a local UDP program, whose results a forwarder sends
// back. Every failure is silent towards the caller, as an indirect call must
// be: a broadcast caller hears only from hosts where the call worked. So
// CALLIT reads its own arguments and leaves the reply to the forwarder.
bool pmap_callit(xprt *xp, rpc_call *call, void *, void *) {
    if (xp->protocol != RPC_UDP) {
        rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
        return false;
    }
    uint32_t prog, vers, proc, n = 0;
    // Arguments without their length field (12 to 15 bytes) are refused like
    // any other malformed call rather than forwarded with none.
    bool ok = call->arg_len >= CALLIT_HEADER && xdr_get_u32(call, &prog) &&
              xdr_get_u32(call, &vers) && xdr_get_u32(call, &proc) && xdr_get_u32(call, &n) &&
              uint64_t(n) + 4 <= call->arg_len - 12;
    if (!ok) {
        log_printf(LOG_EVENT, "%s pmapd: rpc pmap_callit with invalid arguments\n", log_time());
        return false;
    }
    if (!pmap_caller_allowed(&xp->peer, 0)) return false;
    // Never the portmapper itself: a forwarded SET or UNSET would come from
    // this host and pass for the local caller it is not.
    if (prog == PMAP_PROG) return false;
    pmap_entry target;
    if (!pmap_lookup(prog, vers, RPC_UDP, &target) || target.port == 0) return false;
    pmap_forward(xp, call, prog, vers, proc, uint16_t(target.port),
                 reinterpret_cast<const uint8_t *>(call->args) + CALLIT_HEADER, n);
    return false;
}

constexpr uint32_t WORD = sizeof(uint32_t);
constexpr uint32_t MAPPING = sizeof(pmap_entry);
constexpr uint32_t DUMP = sizeof(dump_result);

const rpc_proc pmap_procs[] = {
    {.number = 0, .name = "null", .run = pmap_null, .encode = rpc_void_result},
    {.number = 1, .name = "set", .decode = decode_mapping, .args_size = MAPPING, .run = pmap_set,
     .encode = encode_word, .result_size = WORD,
     .garbage_log = "%s pmapd: rpc pmap_set with invalid arguments\n"},
    {.number = 2, .name = "unset", .decode = decode_mapping, .args_size = MAPPING,
     .run = pmap_unset, .encode = encode_word, .result_size = WORD,
     .garbage_log = "%s pmapd: rpc pmap_unset with invalid arguments\n"},
    {.number = 3, .name = "getport", .decode = decode_mapping, .args_size = MAPPING,
     .run = pmap_getport, .encode = encode_word, .result_size = WORD,
     .garbage_log = "%s pmapd: rpc pmap_getport with invalid arguments\n"},
    {.number = 4, .name = "dump", .decode = decode_none, .run = pmap_dump_proc,
     .encode = encode_dump, .result_size = DUMP,
     .garbage_log = "%s pmapd: rpc pmap_dump with invalid arguments\n"},
    {.number = 5, .name = "callit", .run = pmap_callit, .encode = rpc_void_result},
};

}  // namespace

const rpc_program pmap_program = {pmap_procs, sizeof pmap_procs / sizeof pmap_procs[0], nullptr,
                                  "%s pmapd: rpc send reply failed\n"};

void pmap_dispatch(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &pmap_program);
}

void pmap_serve(xprt *xp, rpc_call *call) {
    // Calls for another program at this port are not ours to answer as ours.
    if (call->prog != PMAP_PROG)
        rpc_error_reply(xp, call, RPC_PROG_UNAVAIL);
    else if (call->vers != PMAP_VERS)
        rpc_prog_mismatch_reply(xp, call, PMAP_VERS, PMAP_VERS);
    else
        pmap_dispatch(xp, call);
}
