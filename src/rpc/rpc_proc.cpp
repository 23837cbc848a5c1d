// The common flow of every procedure, driven by its table row.
#include "rpc/rpc_proc.h"

#include <cstring>

#include "base/log.h"

void rpc_serve(xprt *xp, rpc_call *call, const rpc_program *prog) {
    const rpc_proc *row = call->proc < prog->count ? &prog->procs[call->proc] : nullptr;
    if (!row || !row->run) {
        if (prog->unknown_log) log_printf(LOG_EVENT, prog->unknown_log, int(call->proc));
        rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
        return;
    }
    // Records live on this thread's stack: no allocation per call.
    alignas(16) uint8_t args[RPC_ARGS_MAX];
    alignas(16) uint8_t result[RPC_RESULT_MAX];
    memset(args, 0, row->args_size);
    if (row->decode && !row->decode(call, args)) {
        log_printf(LOG_EVENT, row->garbage_log, log_time());
        rpc_error_reply(xp, call, RPC_GARBAGE_ARGS);
        return;
    }
    if (row->slot && rpc_replay_check(xp, call, row->slot, row->encode, row->save)) return;
    memset(result, 0, row->result_size);
    if (!row->run(xp, call, args, result)) return;
    if (row->slot) rpc_replay_save(xp, row->slot, row->save, result, row->save_size);
    if (!rpc_reply(xp, call, row->encode, result) && prog->send_log)
        log_printf(LOG_EVENT, prog->send_log, log_time());
}

bool rpc_program_valid(const rpc_program *prog) {
    for (uint32_t i = 0; i < prog->count; i++) {
        const rpc_proc &r = prog->procs[i];
        if (r.number != i) return false;
        if (!r.run) continue;
        if (!r.name || !r.encode || r.args_size > RPC_ARGS_MAX || r.result_size > RPC_RESULT_MAX)
            return false;
        if (r.args_size && !r.decode) return false;
        if (r.decode && !r.garbage_log) return false;
        if (r.slot && (!r.save || r.save_size == 0 || r.save_size > r.result_size)) return false;
    }
    return true;
}
