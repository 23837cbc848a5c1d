// UTF-8 and UTF-16 for the Win32 sources of the host layer: the server's own
// paths and texts are UTF-8, the wide calls take UTF-16.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// `in` (NUL-terminated UTF-8) as UTF-16 into `out` of `size` characters;
// false when it is not valid UTF-8 or does not fit.
inline bool wide_from_utf8(const char *in, wchar_t *out, uint32_t size) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in, -1, out, int(size)) > 0;
}

// The same into a string (empty for invalid input).
inline std::wstring wide_string(const char *in) {
    int n = MultiByteToWideChar(CP_UTF8, 0, in, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, in, -1, out.data(), n);
    out.resize(size_t(n - 1));
    return out;
}

// `in` (NUL-terminated UTF-16) as UTF-8 into `out` of `size` bytes; the
// length without the NUL, or 0 when it does not fit.
inline uint32_t utf8_from_wide(const wchar_t *in, char *out, uint32_t size) {
    int n = WideCharToMultiByte(CP_UTF8, 0, in, -1, out, int(size), nullptr, nullptr);
    return n > 0 ? uint32_t(n - 1) : 0;
}
