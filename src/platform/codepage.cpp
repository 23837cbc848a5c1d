// Code page conversions with iconv. Each thread keeps its own pair of
// converters for the code page last used, so no call allocates after the
// first on a thread.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const iconv_t NO_ICONV = reinterpret_cast<iconv_t>(-1);

void iconv_name(uint32_t cp, char *out, size_t size) {
    if (cp == 65001)
        snprintf(out, size, "UTF-8");
    else if (cp == 20127)
        snprintf(out, size, "ASCII");
    else if (cp >= 28591 && cp <= 28599)
        snprintf(out, size, "ISO-8859-%u", cp - 28590);
    else if (cp == 28605)
        snprintf(out, size, "ISO-8859-15");
    else if (cp == 20866)
        snprintf(out, size, "KOI8-R");
    else if (cp == 21866)
        snprintf(out, size, "KOI8-U");
    else
        snprintf(out, size, "CP%u", cp);
}

struct converters {
    uint32_t codepage = 0;
    iconv_t to_utf8 = NO_ICONV;
    iconv_t from_utf8 = NO_ICONV;
    ~converters() { reset(); }
    void reset() {
        if (to_utf8 != NO_ICONV) iconv_close(to_utf8);
        if (from_utf8 != NO_ICONV) iconv_close(from_utf8);
        to_utf8 = from_utf8 = NO_ICONV;
        codepage = 0;
    }
    bool open(uint32_t cp) {
        if (cp == codepage && to_utf8 != NO_ICONV) return true;
        reset();
        if (cp == 1200 || cp == 1201) return false;  // UTF-16 is not a byte code page
        char name[32];
        iconv_name(cp, name, sizeof name);
        to_utf8 = iconv_open("UTF-8", name);
        from_utf8 = iconv_open(name, "UTF-8");
        if (to_utf8 == NO_ICONV || from_utf8 == NO_ICONV) {
            reset();
            return false;
        }
        codepage = cp;
        return true;
    }
};

thread_local converters conv;

size_t utf8_sequence_length(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF4) return 4;
    if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
    if (c >= 0xC2) return 2;
    return 1;
}

// In: strict, failing on a byte the code page lacks. Out: '?' for each
// character that cannot be shown. Returns the length written (NUL
// included), or 0 when it does not fit or (in) cannot be converted.
size_t run(iconv_t cd, bool substitute, const char *in, char *out, size_t out_size) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *src = const_cast<char *>(in);
    size_t src_left = strlen(in) + 1;
    char *dst = out;
    size_t dst_left = out_size;
    while (src_left > 0) {
        if (iconv(cd, &src, &src_left, &dst, &dst_left) != size_t(-1)) break;
        if (errno == E2BIG || !substitute) return 0;
        // EILSEQ or EINVAL: show one character as '?'.
        if (dst_left == 0) return 0;
        *dst++ = '?';
        dst_left--;
        size_t skip = utf8_sequence_length(static_cast<unsigned char>(*src));
        if (skip > src_left) skip = src_left;
        // Never skip the terminating NUL.
        for (size_t i = 1; i < skip; i++)
            if (src[i] == 0) skip = i;
        src += skip;
        src_left -= skip;
    }
    return out_size - dst_left;
}

// UTF-16 units of a UTF-8 string (supplementary characters count twice).
size_t utf16_units(const char *s) {
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if ((*p & 0xC0) == 0x80) continue;
        n += *p >= 0xF0 ? 2 : 1;
    }
    return n;
}

}  // namespace

uint32_t codepage_to_utf8(uint32_t codepage, const char *in, char *out, uint32_t size) {
    if (!conv.open(codepage)) {
        errno = EINVAL;
        return 0;
    }
    return uint32_t(run(conv.to_utf8, false, in, out, size));
}

uint32_t codepage_from_utf8(uint32_t codepage, const char *in, char *out, uint32_t size) {
    if (!conv.open(codepage)) return 0;
    return uint32_t(run(conv.from_utf8, true, in, out, size));
}

uint32_t codepage_convert(int direction, uint32_t codepage, char *buffer, uint32_t size) {
    if (codepage == 0) codepage = CODEPAGE_DEFAULT;
    if (!conv.open(codepage)) return 0;
    char utf8[CODEPAGE_CONVERT_CHARS * 4];
    char out[CODEPAGE_CONVERT_CHARS * 4];
    size_t n;
    if (direction == 1) {
        // Code page to UTF-8; the limit applies to the wide form in between.
        if (run(conv.to_utf8, false, buffer, utf8, sizeof utf8) == 0) return 0;
        if (utf16_units(utf8) + 1 > CODEPAGE_CONVERT_CHARS) return 0;
        n = strlen(utf8) + 1;
        if (n > size) return 0;
        memcpy(buffer, utf8, n);
        return uint32_t(n);
    }
    if (utf16_units(buffer) + 1 > CODEPAGE_CONVERT_CHARS) return 0;
    n = run(conv.from_utf8, true, buffer, out, size < sizeof out ? size : sizeof out);
    if (n == 0) return 0;
    memcpy(buffer, out, n);
    return uint32_t(n);
}
