// The log file. Every line goes through log_printf, which holds one lock
// around one formatted write, so lines from many threads never interleave and
// a line can never race with log_close.
#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "base/config.h"

namespace {

constexpr const char *LOG_NAME_FORMAT = "nfsd%y%m.log";
constexpr const char *LOG_TIME_FORMAT = "%Y-%m-%d %H:%M:%S";
constexpr const char *LOG_PRODUCT = "Nimbora NFS Server";

std::mutex log_lock;                    // around every use of the stream
std::atomic<FILE *> log_file{nullptr};  // read unlocked by log_enabled
bool log_owned = false;                 // opened by log_open, not attached
std::atomic<time_t> log_clock{0};       // test clock; 0: the real one

time_t log_now() {
    time_t now = log_clock.load();
    return now != 0 ? now : time(nullptr);
}

struct tm log_local_now() {
    time_t now = log_now();
    struct tm tm;
    localtime_r(&now, &tm);
    return tm;
}

// The flood limit: lines of one kind (one format) written in the current
// interval, and those left out. Kinds are found by the format's address;
// when the table is full, a new kind is not limited. Under log_lock.
struct log_kind {
    const char *format;
    time_t start;
    uint32_t written;
    uint32_t left_out;
};
log_kind kinds[LOG_KINDS];
uint32_t kinds_with_left_out = 0;

void kinds_clear() {
    for (log_kind &k : kinds) k = log_kind{};
    kinds_with_left_out = 0;
}

// Writes the count of every kind whose lines were left out in an interval
// that is over (all of them when `all`).
void report_left_out(FILE *f, time_t now, bool all) {
    for (log_kind &k : kinds) {
        if (kinds_with_left_out == 0) return;
        if (k.left_out == 0 || (!all && now - k.start < LOG_KIND_INTERVAL)) continue;
        fprintf(f, "log: %u lines like \"", k.left_out);
        for (const char *p = k.format; *p; p++)
            if (*p != '\n') fputc(*p, f);
        fputs("\" left out\n", f);
        fflush(f);
        k.left_out = 0;
        kinds_with_left_out--;
    }
}

// Whether a line of `format` may be written now.
bool admit(const char *format, time_t now) {
    uint32_t at = uint32_t((reinterpret_cast<uintptr_t>(format) >> 3) % LOG_KINDS);
    log_kind *k = nullptr;
    for (uint32_t i = 0; i < LOG_KINDS && !k; i++) {
        log_kind &slot = kinds[(at + i) % LOG_KINDS];
        if (slot.format == format || !slot.format) k = &slot;
    }
    if (!k) return true;
    if (!k->format || now - k->start >= LOG_KIND_INTERVAL) {
        k->format = format;
        k->start = now;
        k->written = 0;
    }
    if (k->written < LOG_KIND_LIMIT) {
        k->written++;
        return true;
    }
    if (k->left_out++ == 0) kinds_with_left_out++;
    return false;
}

}  // namespace

FILE *log_open() {
    if (config.log <= 0) return nullptr;
    // The name is fixed at open: a run that crosses a month end keeps its file.
    struct tm tm = log_local_now();
    char name[16];
    strftime(name, sizeof name, LOG_NAME_FORMAT, &tm);
    char path[sizeof config.directory + sizeof name];
    snprintf(path, sizeof path, "%s%s", config.directory, name);

    std::lock_guard<std::mutex> lock(log_lock);
    FILE *f = fopen(path, "a+");
    if (!f) {
        config.log = 0;
        return nullptr;
    }
    if (FILE *old = log_file.exchange(f); old && log_owned) fclose(old);
    log_owned = true;
    if (config.log >= LOG_DETAIL) fprintf(f, "\n%s %s log started\n", log_time(), LOG_PRODUCT);
    fflush(f);
    return f;
}

void log_close() {
    std::lock_guard<std::mutex> lock(log_lock);
    FILE *f = log_file.exchange(nullptr);
    if (f) report_left_out(f, log_now(), true);
    kinds_clear();
    if (f && log_owned)
        fclose(f);
    else if (f)
        fflush(f);
    log_owned = false;
}

bool log_enabled(int level) {
    return log_file.load() != nullptr && config.log >= level;
}

void log_printf(int level, const char *format, ...) {
    if (!log_enabled(level)) return;
    std::lock_guard<std::mutex> lock(log_lock);
    FILE *f = log_file.load();
    if (!f) return;  // closed while we waited
    time_t now = log_now();
    report_left_out(f, now, false);
    if (level < LOG_FULL_DETAIL && !admit(format, now)) return;
    va_list ap;
    va_start(ap, format);
    vfprintf(f, format, ap);  // write errors are ignored: the log is best effort
    va_end(ap);
    // Each line reaches the file as it is written (one write per line), so
    // that whoever follows the log sees a failing mount while it fails.
    fflush(f);
}

void log_flush() {
    std::lock_guard<std::mutex> lock(log_lock);
    if (FILE *f = log_file.load()) fflush(f);
}

const char *log_time() {
    // One buffer per thread: the text stays valid for the caller's own
    // log_printf, and two threads never write the same bytes.
    thread_local char stamp[32];
    struct tm tm = log_local_now();
    strftime(stamp, sizeof stamp, LOG_TIME_FORMAT, &tm);
    return stamp;
}

void log_attach(FILE *file, int level) {
    std::lock_guard<std::mutex> lock(log_lock);
    FILE *old = log_file.exchange(file);
    if (old && log_owned && old != file) fclose(old);
    log_owned = false;
    kinds_clear();
    config.log = level;
}

void log_test_clock(time_t now) {
    log_clock.store(now);
}
