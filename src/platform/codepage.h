// Code page conversion between a Windows code page and UTF-8, through the
// host's converters. Each thread keeps its own converters for the code page it
// last used, so only the first call on a thread (or for a new code page)
// allocates. Safe on any thread.
#pragma once

#include <cstdint>

constexpr uint32_t CODEPAGE_DEFAULT = 1252;        // what code page 0 stands for
constexpr uint32_t CODEPAGE_CONVERT_CHARS = 6144;  // wide characters codepage_convert passes
// The directions of codepage_convert.
constexpr int CODEPAGE_FROM_UTF8 = 0;
constexpr int CODEPAGE_TO_UTF8 = 1;

// NUL-terminated `in` from `codepage` to UTF-8 into `out` (`size` bytes),
// strictly: a byte the code page lacks fails. Answers the length written with
// its NUL, or 0 (errno E2BIG when it did not fit, EINVAL otherwise).
uint32_t codepage_to_utf8(uint32_t codepage, const char *in, char *out, uint32_t size);

// UTF-8 `in` to `codepage` into `out`; '?' for each character the code page
// lacks. Answers the length written with its NUL, or 0.
uint32_t codepage_from_utf8(uint32_t codepage, const char *in, char *out, uint32_t size);

// Converts the NUL-terminated `buffer` (of `size` bytes) in place through a
// buffer of 6144 UTF-16 characters: direction 1 from `codepage` (0: 1252) to
// UTF-8, direction 0 from UTF-8 to `codepage`. Returns the length of the
// result including its terminating NUL, or 0 on failure (unknown code page,
// more than 6144 characters, or a result that does not fit `size`), in
// which case the buffer is unchanged.
uint32_t codepage_convert(int direction, uint32_t codepage, char *buffer, uint32_t size);
