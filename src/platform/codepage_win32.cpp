// Code page conversions on Windows: through UTF-16 with the system's own
// tables (MultiByteToWideChar and WideCharToMultiByte), so every code page
// the machine knows works.
#include "platform/codepage.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t CP_UTF8_PAGE = 65001;

bool byte_code_page(uint32_t cp) {
    if (cp == 1200 || cp == 1201) return false;  // UTF-16 is not a byte code page
    return cp == CP_UTF8_PAGE || IsValidCodePage(cp);
}

// Bytes of `cp` to UTF-16 (NUL included); strict: an invalid byte fails.
int to_wide(uint32_t cp, const char *in, wchar_t *out, int size) {
    return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, -1, out, size);
}

// UTF-16 to bytes of `cp` (NUL included); '?' for a character it lacks.
// Never a best-fit letter: "ä" as "a" could name another file. A few code
// pages refuse the flag, and those have no best-fit table to avoid.
int from_wide(uint32_t cp, const wchar_t *in, char *out, int size) {
    if (cp == CP_UTF8_PAGE) return WideCharToMultiByte(cp, 0, in, -1, out, size, nullptr, nullptr);
    int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, in, -1, out, size, "?", nullptr);
    if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS)
        n = WideCharToMultiByte(cp, 0, in, -1, out, size, "?", nullptr);
    return n;
}

void set_errno_from_last_error() {
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? E2BIG : EINVAL;
}

}  // namespace

uint32_t codepage_to_utf8(uint32_t codepage, const char *in, char *out, uint32_t size) {
    static thread_local wchar_t wide[CODEPAGE_CONVERT_CHARS * 4];
    if (!byte_code_page(codepage)) {
        errno = EINVAL;
        return 0;
    }
    if (to_wide(codepage, in, wide, int(CODEPAGE_CONVERT_CHARS * 4)) <= 0) {
        set_errno_from_last_error();
        return 0;
    }
    int n = from_wide(CP_UTF8_PAGE, wide, out, int(size));
    if (n <= 0) set_errno_from_last_error();
    return n > 0 ? uint32_t(n) : 0;
}

uint32_t codepage_from_utf8(uint32_t codepage, const char *in, char *out, uint32_t size) {
    static thread_local wchar_t wide[CODEPAGE_CONVERT_CHARS * 4];
    if (!byte_code_page(codepage)) return 0;
    // Invalid UTF-8 becomes U+FFFD, which the code page shows as '?'.
    if (MultiByteToWideChar(CP_UTF8_PAGE, 0, in, -1, wide, int(CODEPAGE_CONVERT_CHARS * 4)) <= 0)
        return 0;
    int n = from_wide(codepage, wide, out, int(size));
    return n > 0 ? uint32_t(n) : 0;
}

uint32_t codepage_convert(int direction, uint32_t codepage, char *buffer, uint32_t size) {
    if (codepage == 0) codepage = CODEPAGE_DEFAULT;
    if (!byte_code_page(codepage)) return 0;
    wchar_t wide[CODEPAGE_CONVERT_CHARS];
    char out[CODEPAGE_CONVERT_CHARS * 4];
    // The limit applies to the wide form in between, as on the original path.
    int w = direction == CODEPAGE_TO_UTF8
                ? to_wide(codepage, buffer, wide, int(CODEPAGE_CONVERT_CHARS))
                : MultiByteToWideChar(CP_UTF8_PAGE, 0, buffer, -1, wide, int(CODEPAGE_CONVERT_CHARS));
    if (w <= 0) return 0;
    int n = from_wide(direction == CODEPAGE_TO_UTF8 ? CP_UTF8_PAGE : codepage, wide, out,
                      int(size < sizeof out ? size : sizeof out));
    if (n <= 0) return 0;
    memcpy(buffer, out, size_t(n));
    return uint32_t(n);
}
