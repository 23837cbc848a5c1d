// The server's log file: one plain-text file per month, "nfsd%y%m.log" in the
// folder of the setting "Directory". Every subsystem writes its lines through
// log_printf so that the level test and the one-write-per-line rule live in
// one place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// Opens the month's log file with "a+" when the setting "Log" is above 0 and
// writes the start banner at level 2 and above. When the file cannot be
// opened, "Log" becomes 0 for the run and none is returned. Called once by
// the server thread before start-up.
FILE *log_open();

// Closes the log file; later lines are dropped. Safe to call when none is open.
void log_close();

// The levels a line needs: ordinary events and errors, detail, and the
// full detail only a log set to show everything writes.
constexpr int LOG_EVENT = 1;
constexpr int LOG_DETAIL = 2;
constexpr int LOG_FULL_DETAIL = 3;

// True when a log is open and the setting "Log" is at least `level`.
bool log_enabled(int level);

// Writes one whole line (the caller's format ends in "\n") with one formatted
// write when log_enabled(level), and hands it to the file at once. Thread-safe:
// lines never interleave.
//
// A flood of one kind of line (one format, such as the complaint about a
// malformed call that any stranger can provoke) is cut: of each kind at
// most LOG_KIND_LIMIT lines are written per LOG_KIND_INTERVAL seconds, and
// the rest are counted. The count comes out as "log: %u lines like
// \"<format>\" left out\n" (the format without its line ends) with the first
// line written after that interval, or when the log closes. Detail lines
// (level LOG_FULL_DETAIL), which only a log set to show everything writes, are
// never cut.
void log_printf(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
constexpr uint32_t LOG_KIND_LIMIT = 200;
constexpr time_t LOG_KIND_INTERVAL = 60;
constexpr uint32_t LOG_KINDS = 128;  // kinds tracked at once; more are not limited

// Flushes the log stream. Lines are flushed as they are written; this stays
// for the points where the sequence flushes by rule.
void log_flush();

// The current local time as "%Y-%m-%d %H:%M:%S" in a buffer of the calling
// thread; the text stays valid until that thread calls log_time again.
const char *log_time();

// Test hook: route lines to `file` at `level` without a log file on disk.
void log_attach(FILE *file, int level);

// Test hook: the clock that names the file and stamps the lines; 0 goes back
// to the real one.
void log_test_clock(time_t now);
