// The case rule of file names: Windows folds only the ASCII letters when it
// compares names, so every comparison of names in the server folds exactly
// these and leaves every other byte (UTF-8 sequences, code page letters) as is.
#pragma once

#include <cstddef>

inline char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}
inline char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
}
inline bool ascii_is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The first n bytes of a and b are equal under the case rule. It stops at the
// first difference, so `a` may be a string shorter than n when `b` has n
// bytes before its NUL: ascii_equal_n(path, root, strlen(root)) asks whether
// `path` begins with `root`.
inline bool ascii_equal_n(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}
// a and b (of lengths na and nb) are equal under the case rule.
inline bool ascii_equal(const char *a, size_t na, const char *b, size_t nb) {
    return na == nb && ascii_equal_n(a, b, na);
}
// Orders two bytes under the case rule: negative, 0 or positive as `a`
// sorts before, with or after `b` (folded bytes compared unsigned).
inline int ascii_compare(char a, char b) {
    return int(static_cast<unsigned char>(ascii_lower(a))) -
           int(static_cast<unsigned char>(ascii_lower(b)));
}
// NUL-terminated a and b are equal under the case rule.
inline bool ascii_equal(const char *a, const char *b) {
    for (; *a && ascii_lower(*a) == ascii_lower(*b); a++, b++) {
    }
    return ascii_lower(*a) == ascii_lower(*b);
}
