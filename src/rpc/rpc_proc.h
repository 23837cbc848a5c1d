// Procedure tables. Every program version the server answers is one table of
// rows, one row per procedure number, and one function runs the flow that
// all of them share: decode (or GARBAGE_ARGS with the row's log line),
// replay check, run, replay save, reply. A handler sees decoded arguments and
// fills a result record; it never touches wire bytes of the call.
//
// Tables are constant data; rpc_serve keeps argument and result records on
// the calling thread's stack, so it is safe on any number of threads.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"

// Largest argument and result records a row may declare (the stack areas of
// rpc_serve). A version 3 SYMLINK, with a name, a link text and a set of
// attributes, is the largest argument record.
constexpr uint32_t RPC_ARGS_MAX = 6144;
constexpr uint32_t RPC_RESULT_MAX = 2048;

// Decodes the call's arguments into `args` (a zeroed record of the row's
// args_size). False when they do not decode.
typedef bool (*rpc_decoder)(rpc_call *call, void *args);
// Does the work of one procedure: reads `args`, fills `result` (zeroed, the
// row's result_size). Answers true to have rpc_serve reply with the row's
// encoder, false when the handler answered itself (an error reply, or a
// reply it built in place) or the call is to go unanswered.
typedef bool (*rpc_run)(xprt *xp, rpc_call *call, void *args, void *result);

// One procedure. A row with a null `run` is not served: PROC_UNAVAIL, after
// the table's unknown-procedure line.
struct rpc_proc {
    uint32_t number = 0;             // the procedure number; equals the row's index
    const char *name = nullptr;      // the procedure's name, for readers and tests
    rpc_decoder decode = nullptr;    // null: the call takes no arguments
    uint32_t args_size = 0;          // bytes of the argument record (<= RPC_ARGS_MAX)
    rpc_run run = nullptr;
    rpc_encoder encode = nullptr;    // writes the result record
    uint32_t result_size = 0;        // bytes of the result record (<= RPC_RESULT_MAX)
    const char *garbage_log = nullptr;  // log format on a decode failure (Log >= 1); its
                                        // one optional %s is the time stamp
    rpc_replay_slot *slot = nullptr;    // non-idempotent procedures only
    void *save = nullptr;               // the slot's save area
    uint32_t save_size = 0;             // bytes of the result record kept in it
    // Answers at once from what the host has (no data to move, no waiting):
    // a TCP connection serves such a call on the thread that read it when
    // nothing is queued behind it (rpc_set_quick).
    bool quick = false;
};

// One program version: its rows, indexed by procedure number.
struct rpc_program {
    const rpc_proc *procs;
    uint32_t count;
    const char *unknown_log;  // log format with the procedure number (%d), Log >= 1; may be null
    const char *send_log;     // log format when the reply cannot be sent; its one
                              // optional %s is the time stamp; may be null
};

// Serves one decoded call of the program version `prog`: an index into the
// rows, then the common flow above.
void rpc_serve(xprt *xp, rpc_call *call, const rpc_program *prog);

// Whether a table is well formed: row i has number i, sizes within the
// limits, a decoder whenever args_size is set, an encoder and a garbage line
// for every served row, and a save area no larger than the result record for
// every row with a slot. Tests check every table with it.
bool rpc_program_valid(const rpc_program *prog);

// Marks the quick rows of `prog` as those of the registered (prog_number,
// vers); rpc_call_quick answers from it. Call after rpc_register.
void rpc_set_quick(uint32_t prog_number, uint32_t vers, const rpc_program *prog);
bool rpc_call_quick(const rpc_call *call);
