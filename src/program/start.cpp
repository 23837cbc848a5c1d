// The server thread, the start-up sequence and the shutdown sequence.
#include "program/start.h"

#include <atomic>
#include <cerrno>

#include "inode/inode.h"
#include "exports/export.h"
#include "mountd/mount.h"
#include "nfsd/cache.h"
#include "platform/drive.h"
#include "platform/winfile.h"
#include "pmap/pmap.h"
#include "rpc/loop.h"
#include "base/config.h"
#include "base/log.h"
#include "program/start_internal.h"

namespace {

constexpr uint16_t PMAP_PORT = 111;

// Log lines of the sequence (each needs "Log" 1). The socket layer's line has
// neither a time stamp nor a line end.
constexpr const char *LOG_TCPIP_FAILED = "nfsd: TCPIP initialization failed";
constexpr const char *LOG_INODE_FAILED = "%s nfsd: Inode table initialization failed\n";
constexpr const char *LOG_PMAP_FAILED = "%s pmapd: failed to start service\n";
constexpr const char *LOG_MOUNT_STARTED = "%s mountd started\n";
constexpr const char *LOG_STARTED = "%s nfsd   started\n";
constexpr const char *LOG_STARTED_THREADS = "%s nfsd   started, %u udp threads\n";
constexpr const char *LOG_STOPPING = "%s nfsd   stopping\n";

// The message of each failed status.
const char *failure_text(int32_t status) {
    switch (status) {
        case START_PMAP_FAILED:
            return "Failed to start Portmapper";
        case START_MOUNT_FAILED:
            return "Failed to start Mount server";
        case START_NFS_FAILED:
            return "Failed to setup NFS server";
        case START_TCPIP_FAILED:
            return "TCPIP initialization failed";
        case START_INODE_FAILED:
            return "Inode table initialization failed";
        default:
            return nullptr;
    }
}

// Written by the server thread before `started` is set; read by any thread
// after it has seen `started`.
std::atomic<int32_t> status{START_OK};
std::atomic<bool> started{false};
std::atomic<bool> stopped{true};

// What the run brought up, so that stop undoes exactly that.
bool inode_open = false;
bool pmap_running = false;

// Closes the transports of a failed service start and answers its status.
int32_t service_failed(int32_t failed) {
    xprt_close_all();
    return failed;
}

// The loop's beat: open files and kept folders that went idle are closed.
void beat_sweep() {
    cache_sweep();
    win_folder_sweep();
}

int32_t start_sequence() {
    if (!tcpip_init()) {
        log_printf(START_LOG, "%s", LOG_TCPIP_FAILED);
        log_flush();
        return START_TCPIP_FAILED;
    }
    // A stop of an earlier run in this process left the loop's flag set.
    xprt_stop.store(0);
    xprt_reset();
    nfs_service_init();
    select_loop_sweep = beat_sweep;

    if (!inode_table_init()) {
        start_failed_at("inode table", 0, 0, "open the inode table", errno);
        log_printf(START_LOG, LOG_INODE_FAILED, log_time());
        log_flush();
        return START_INODE_FAILED;
    }
    inode_open = true;
    if (config.portmapper) {
        if (!pmap_start()) {
            pmap_failure why = pmap_start_failure();
            if (why.protocol) start_failed_at("portmapper", PMAP_PORT, why.protocol, "bind", why.error);
            log_printf(START_LOG, LOG_PMAP_FAILED, log_time());
            log_flush();
            return START_PMAP_FAILED;
        }
        pmap_running = true;
    }
    static exports_report exports;  // 64 problems of 140 bytes: off the stack
    exports_read(&exports);
    start_report_exports(&exports);
    if (!mount_service_start(config.mount_port)) return service_failed(START_MOUNT_FAILED);
    log_printf(START_LOG, LOG_MOUNT_STARTED, log_time());
    if (!nfs_service_start(config.port)) return service_failed(START_NFS_FAILED);

    if (config.threads > 1)
        log_printf(START_LOG, LOG_STARTED_THREADS, log_time(), unsigned(config.threads));
    else
        log_printf(START_LOG, LOG_STARTED, log_time());
    log_flush();
    return START_OK;
}

}  // namespace

int32_t server_start() {
    started.store(false);
    stopped.store(false);
    inode_open = pmap_running = false;
    start_forget();
    start_failure_forget();
    int32_t result = start_sequence();
    status.store(result);
    started.store(true, std::memory_order_release);
    return result;
}

bool server_started() {
    return started.load(std::memory_order_acquire);
}

int32_t server_status() {
    return status.load();
}

int32_t server_thread() {
    // Connections and open files get all the descriptors the host allows.
    sock_descriptor_limit_raise();
    log_open();
    // The map is read afresh for each run, so that what it refuses is told
    // where this run's operator looks.
    drive_load();
    start_report_drives();
    int32_t result = server_start();
    if (const char *text = failure_text(result)) {
        show_message(nullptr, 0, SERVER_CAPTION, "%s", text);
        start_report_failure();
    }
    // A failed start has nothing to serve: a loop entered now would only
    // end with a misleading line of its own (no socket to wait on).
    if (result == START_OK) select_loop();
    log_close();
    return result;
}

void server_stop() {
    if (stopped.exchange(true)) return;
    // Said first: the server thread closes the log once its loop has ended,
    // which the closing of the transports below brings about. A failed
    // start has already said why it ended.
    if (status.load() == START_OK) {
        log_printf(START_LOG, LOG_STOPPING, log_time());
        log_flush();
    }
    start_unregister_nfs();
    start_unregister_mount();
    if (start_mount_table_loaded()) {
        mount_table_save();
        mount_lookup_stop();
    }
    xprt_close_all();
    start_close_nfs_udp();
    if (inode_open) inode_table_shutdown();
    cache_close_volume(0);
    if (pmap_running) pmap_stop();
    inode_open = pmap_running = false;
}
