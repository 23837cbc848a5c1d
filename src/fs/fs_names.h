// Name conversion between the clients' character set and the host's UTF-8
// names. Internal to src/fs/.
#pragma once

#include <cstdint>

constexpr uint32_t FS_PATH_BYTES = 6144;  // a converted path, NUL included

// The path as the host layer takes it: `path` itself unless "CharSet" is 1,
// else its UTF-8 form in `buf` (FS_PATH_BYTES). Null when it cannot be
// converted: the last error is 123 (or 206 when too long) and errno EINVAL
// (or ENAMETOOLONG).
const char *fs_name_in(const char *path, char *buf);

// Converts a name returned by the host back into the clients' character
// set in place (field of `size` bytes); '?' for characters the code page
// lacks. Does nothing unless "CharSet" is 1.
void fs_name_out(char *name, uint32_t size);

// The code page that "CharSet" 1 uses: "CodePage", or 1252 for 0.
uint32_t fs_codepage();
