// Between the start-up sequence and the service starts: what the services
// of this run brought up, so that the stop undoes exactly that. Written by
// the server thread during start-up, read by the stopping thread afterwards.
#pragma once

#include <cstdint>

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

// ---- What start-up tells the operator (standard error and the log) ----

// Records why the step that is failing failed: its service ("portmapper",
// "mount service", "NFS service", "inode table"), port and protocol (17, 6;
// port 0 for a step without one) and what it tried ("bind"; "register",
// with the portmapper), with the host's error number (0 when the host gave
// none, as for a registration). The last record wins.
void start_failed_at(const char *service, uint16_t port, uint32_t protocol, const char *what,
                     int error);

// Forgets the record (at the start of a run).
void start_failure_forget();

// After a failed start: the recorded step with its port, protocol and the
// host's reason, and the likely cause where one is known. One line each on
// standard error and in the log; nothing when no step was recorded.
void start_report_failure();

// The drive values that map nothing, each with its letter, value and reason.
void start_report_drives();

struct exports_report;
// Every problem of the exports file with its line number (the log has its
// own lines from the reader), and a word when nothing is exported.
void start_report_exports(const exports_report *report);
