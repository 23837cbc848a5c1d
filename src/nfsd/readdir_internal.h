// Shared by the directory-reading sources only.
#pragma once

#include <cstdint>

// Remembered continuations: after a reply that stopped for size, the child
// that did not fit, keyed by the directory and the cookie of the last entry
// sent. A continuation with that cookie starts there instead of counting
// its way down the child list from the front.
void readdir_resume_save(uint32_t dir, uint32_t cookie, uint32_t child);
// The remembered child for (dir, cookie) when it is still a child of `dir`;
// 0 otherwise.
uint32_t readdir_resume_find(uint32_t dir, uint32_t cookie);
void readdir_resume_clear();
