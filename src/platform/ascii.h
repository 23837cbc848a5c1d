// The case rule of file names: Windows folds only the ASCII letters when it
// compares names, so every comparison of names in the server folds exactly
// these and leaves every other byte (UTF-8 sequences, code page letters) as is.
#pragma once

inline char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}
inline char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
}
inline bool ascii_is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
