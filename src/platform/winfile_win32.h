// Shared pieces of the Win32 implementation of winfile.h and rtfile.h. Not
// a public header: only the *_win32.cpp sources of src/platform/ include it.
//
// The layer's own headers name the Windows constants themselves
// (FILE_ATTRIBUTE_*, ERROR_*, CREATE_NEW, INVALID_HANDLE_VALUE, ...) with the
// system's values, so they come first and <windows.h> after them: its macros
// of the same names then only shadow them inside these sources, and nothing
// above the layer ever sees <windows.h>.
#pragma once

#include <cstdint>

#include "platform/rtfile.h"
#include "platform/winerr.h"
#include "platform/winfile.h"

// The layer's invalid handle; after <windows.h> the name
// INVALID_HANDLE_VALUE is the system's HANDLE value.
constexpr win_handle WIN_NO_HANDLE = INVALID_HANDLE_VALUE;

#include <windows.h>

// A path converted for the Windows calls: the bytes as they came, and the
// UTF-16 form, each NUL-terminated.
constexpr uint32_t HPATH_CHARS = 6144;  // UTF-16 units of a converted path
constexpr uint32_t HPATH_BYTES = 4096;  // bytes of a path as the layer takes it
struct hpath {
    const char *bytes;
    // The narrow call gets `bytes` unchanged: plain ASCII, which both calls
    // read alike, or bytes that are not UTF-8, which can only be in the
    // system's ANSI code page, exactly as the narrow call reads them.
    bool narrow;
    bool root;                              // the path names a drive or UNC root
    char root_text[4] = {0, ':', '\\', 0};  // "x:\" for a bare "x:"
    wchar_t wide[HPATH_CHARS];
};

// Checks a Windows path and converts it. `pattern` allows * and ? in the
// last component. Answers 0, or the error of the path:
// - 3: not an absolute path ("x:", "x:\...", or "\\server\share\..."); a
//   relative path would reach the program's own folder.
// - 123: a component holding '/', ':', a control character or one of
//   " * < > ? | (Windows would read '/' as a separator and ':' as a
//   stream), or the device namespaces "\\.\" and "\\?\".
// - 5: a component that Windows reads as a device (CON, PRN, AUX, NUL,
//   COM1-9, LPT1-9, CONIN$, CONOUT$, with any extension): it is no file,
//   and opening it would reach the device.
// - 206: longer than HPATH_BYTES - 1 bytes or a component over 255.
// "x:" is taken as the root "x:\" (on its own it names the drive's current
// folder). Wildcards and all, the wide form is always made.
uint32_t hpath_make(const char *path, hpath *out, bool pattern = false);

// The same, storing the error as the last error; false on failure.
bool hpath_ok(const char *path, hpath *out, bool pattern = false);

// Whether `p` names an existing file (not a directory) with the READONLY
// attribute. Windows refuses to write, truncate or delete such a file
// whoever asks; Wine running as root lets it through, so the calls that
// would change one ask first and answer as Windows does.
bool hpath_readonly_file(const hpath &p);

// Stores the calling thread's Windows last error as the layer's last error
// and answers false.
bool fail_last();
// Stores `error` as the layer's last error and answers false.
inline bool fail_with(uint32_t error) {
    win_set_last_error(error);
    return false;
}

// The attributes the layer reports: READONLY, HIDDEN, SYSTEM and DIRECTORY,
// or NORMAL when none of them is set.
uint32_t attrs_out(DWORD attributes);

// A Windows FILETIME as one number, and back.
inline uint64_t filetime_u64(const FILETIME &t) {
    return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// UTF-16 `in` as UTF-8 into `out` of `size` bytes; false when it does not
// fit (out is then "").
bool utf8_out(const wchar_t *in, char *out, uint32_t size);
