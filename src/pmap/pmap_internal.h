// Shared by the portmapper's sources; not for other folders.
#pragma once

#include <cstdint>

#include "pmap/pmap.h"

// The table operations behind SET, UNSET and DUMP, each under the list's
// lock. The caller has checked pmap_caller_allowed.
bool pmap_list_set(uint32_t prog, uint32_t vers, uint32_t prot, uint32_t port);
bool pmap_list_unset(uint32_t prog, uint32_t vers);
// Copies the first `max` mappings in list order; returns how many.
uint32_t pmap_list_copy(pmap_entry *out, uint32_t max);
