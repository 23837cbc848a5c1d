// Between the start-up sequence and the service starts: what the services
// of this run brought up, so that the stop undoes exactly that. Written by
// the server thread during start-up, read by the stopping thread afterwards.
#pragma once

#include "base/log.h"

// Every line of start-up and shutdown is an event line: written from "Log" 1.
constexpr int START_LOG = LOG_EVENT;

// Forgets what an earlier run in this process recorded.
void start_forget();

// Withdraws, in the stop order, the NFS registrations this run made:
// (100003, 2) UDP, TCP, then (100003, 3) UDP, TCP.
void start_unregister_nfs();
// The same for MOUNT: versions 3, 2, 1, each UDP then TCP.
void start_unregister_mount();

// Whether the mount service got as far as loading the mount table (only a
// loaded table may be saved over the file).
bool start_mount_table_loaded();

// Ends the UDP workers of the NFS socket and closes it, when workers serve
// it (the select loop's transports are closed by xprt_close_all). Call after
// xprt_close_all.
void start_close_nfs_udp();
