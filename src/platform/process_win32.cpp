#include "platform/process.h"

#include <windows.h>

uint32_t process_id() {
    return GetCurrentProcessId();
}
