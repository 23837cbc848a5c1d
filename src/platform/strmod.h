// Modules of numbered texts: the language modules of the user interface.
// On Windows a module is a resource-only library whose string table holds
// the texts; on Linux it is a text file of "number=text" lines (UTF-8; lines
// starting with '#' and lines that do not parse are skipped). Both are made
// from the same text files, so one set of translations serves both hosts.
// Thread-safe.
#pragma once

#include <cstdint>

// Calls `fn` for every entry 1..`last` that module file `path` holds, with
// its text as UTF-8. False when the file cannot be loaded as a module; then
// `fn` was not called.
bool strmod_load(const char *path, uint32_t last,
                 void (*fn)(void *ctx, uint32_t number, const char *text), void *ctx);

// The primary language number of the user's interface language (7 German,
// 9 English, as Windows numbers them); 0 when unknown. On Linux it comes from
// LC_ALL, LC_MESSAGES or LANG, the first one set.
uint32_t strmod_user_language();
