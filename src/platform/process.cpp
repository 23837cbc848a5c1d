#include "platform/process.h"

#include <unistd.h>

uint32_t process_id() {
    return uint32_t(getpid());
}
