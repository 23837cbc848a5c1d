// The request to keep the machine awake while clients are active. On Windows
// this is the thread execution state; on Linux nothing sleeps on our behalf,
// so the request is only recorded, and tests read the record.
#pragma once

#include <cstdint>

// Flags of a request, as the execution-state call takes them.
constexpr uint32_t POWER_CONTINUOUS = 0x80000000u;
constexpr uint32_t POWER_SYSTEM_REQUIRED = 0x00000001u;

// Records `flags` as the current request (POWER_CONTINUOUS alone releases an
// earlier one). Returns the previous request, 0 before the first. Thread-safe.
uint32_t power_set_state(uint32_t flags);

// The last request recorded, 0 when none was made.
uint32_t power_state();

// How many requests were recorded since the process started.
uint32_t power_request_count();

// For the host layer: records `flags` as the current request; returns the
// previous one.
uint32_t power_record(uint32_t flags);
