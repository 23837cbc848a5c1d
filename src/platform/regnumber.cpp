// Numbers in the settings store, the same on every host: decimal text
// values, and a value equal to its default is removed rather than written.
#include <cstdio>

#include "platform/registry.h"

namespace {
constexpr uint32_t REG_NUMBER_BUFFER = 64;
}

uint32_t reg_read_number(const char *subkey, const char *name, uint32_t def) {
    char buf[REG_NUMBER_BUFFER];
    unsigned value;
    if (reg_read_string(subkey, name, "", buf, sizeof buf) == 0) return def;
    if (sscanf(buf, "%u", &value) != 1) return def;
    return value;
}

bool reg_write_number(const char *subkey, const char *name, uint32_t value, uint32_t def) {
    if (value == def) return reg_write_string(subkey, name, nullptr);
    char buf[16];
    snprintf(buf, sizeof buf, "%u", value);
    return reg_write_string(subkey, name, buf);
}
