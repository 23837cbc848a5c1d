// Whole small files of the server's own (exports, token, language modules),
// by POSIX path: read at once, written atomically. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

// Reads the whole file into `out`. False when it cannot be opened or read,
// or is larger than `max_bytes`.
bool textfile_read(const char *path, std::string &out, uint32_t max_bytes);

// Replaces the file with `text` through a temporary file beside it, flushed
// to disk before the rename, so a reader sees the old or the new file and a
// crash never leaves half of it. The file keeps its permissions; a new one
// gets 0644, or 0600 when `private_file` (then also an existing one). With
// `backup` (a path) the previous version is kept there first. False on any
// failure, with the file as it was. A symbolic link stays: the file it leads
// to is replaced (a dangling link is a failure).
bool textfile_write(const char *path, const std::string &text, bool private_file,
                    const char *backup);

// Fills `out` with `n` random bytes from the host's generator. False when
// none can be had.
bool random_bytes(uint8_t *out, uint32_t n);
