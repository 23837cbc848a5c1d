// The running process as the host sees it.
#pragma once

#include <cstdint>

// This process's id.
uint32_t process_id();
