// The rules of the settings pages, one row per control.
#include "program/pages_settings.h"

#include <cstdlib>
#include <cstring>

#include "platform/registry.h"

namespace {

constexpr const char *SUBKEY = "nfsd";

// Page texts in the string table (see lang.cpp).
enum : uint32_t {
    T_MOUNT_PORT = 37, T_PORT, T_THREADS, T_DATASIZE, T_UDP, T_TCP, T_VERSION2, T_VERSION3,
    T_ASYNC2, T_SOFTLINKS, T_HARDLINKS,
    T_PORTMAPPER = 49, T_REMOTE, T_INODE_RESET, T_LOWERCASE, T_CHARSET_GROUP,
};

uint32_t stored(const page_setting &s) {
    return reg_read_number(SUBKEY, s.name, s.def);
}

int index_of(const char *name) {
    for (uint32_t i = 0; i < page_settings_count; i++)
        if (strcmp(page_settings[i].name, name) == 0) return int(i);
    return -1;
}

uint32_t box(page_form_fn value, void *ctx, const char *name) {
    const char *v = value(ctx, name);
    return v && strcmp(v, "0") != 0 ? 1 : 0;
}

}  // namespace

// clang-format off
const page_setting page_settings[] = {
    {"Mount-Port", T_MOUNT_PORT, RULE_PORT,    1058, 1, 65535, 0},
    {"Port",       T_PORT,       RULE_PORT,    2049, 1, 65535, 0},
    {"Threads",    T_THREADS,    RULE_CLAMP,   4,    1, 32,    0},
    {"Datasize",   T_DATASIZE,   RULE_CLAMP,   8192, 256, 1048576, 0},
    {"UDP",        T_UDP,        RULE_BOX,     1,    0, 0,     0},
    {"TCP",        T_TCP,        RULE_BOX,     1,    0, 0,     0},
    {"Version2",   T_VERSION2,   RULE_BOX,     1,    0, 0,     0},
    {"Version3",   T_VERSION3,   RULE_BOX,     1,    0, 0,     0},
    {"NFS2Write",  T_ASYNC2,     RULE_BOX_2_0, 0,    0, 0,     0},
    {"SoftLinks",  T_SOFTLINKS,  RULE_BOX,     1,    0, 0,     0},
    {"HardLinks",  T_HARDLINKS,  RULE_BOX,     1,    0, 0,     0},
    {"PortMapper", T_PORTMAPPER, RULE_BOX,     1,    0, 0,     1},
    {"Remote",     T_REMOTE,     RULE_BOX,     0,    0, 0,     1},
    {"InodeReset", T_INODE_RESET, RULE_BOX,    0,    0, 0,     1},
    {"Lowercase",  T_LOWERCASE,  RULE_BOX,     1,    0, 0,     1},
    {"CharSet",    T_CHARSET_GROUP, RULE_CHARSET, 0, 0, 0,     1},
};
// clang-format on
const uint32_t page_settings_count = sizeof page_settings / sizeof page_settings[0];

bool page_parse_number(const char *text, uint32_t *out) {
    if (!text) return false;
    while (*text == ' ' || *text == '\t') text++;
    if (*text < '0' || *text > '9') return false;
    char *end;
    unsigned long long v = strtoull(text, &end, 10);
    while (*end == ' ' || *end == '\t') end++;
    if (*end || v > UINT32_MAX) return false;
    *out = uint32_t(v);
    return true;
}

std::string page_setting_shown(uint32_t i) {
    const page_setting &s = page_settings[i];
    uint32_t v = stored(s);
    switch (s.rule) {
        case RULE_BOX: return v ? "1" : "0";
        case RULE_BOX_2_0: return v == 0 ? "1" : "0";
        default: return std::to_string(v);
    }
}

std::string page_setting_range(uint32_t i) {
    const page_setting &s = page_settings[i];
    if (s.rule != RULE_PORT && s.rule != RULE_CLAMP) return "";
    return std::to_string(s.low) + "-" + std::to_string(s.high);
}

page_apply_result page_settings_apply(int page, page_form_fn value, void *ctx) {
    page_apply_result result{};
    uint32_t values[sizeof page_settings / sizeof page_settings[0]];
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page != page) continue;
        uint32_t n = 0;
        switch (s.rule) {
            case RULE_PORT:
            case RULE_CLAMP: {
                // A field the form does not carry keeps what is stored.
                const char *text = value(ctx, s.name);
                if (!text) {
                    values[i] = stored(s);
                    break;
                }
                if (!page_parse_number(text, &n) || n < s.low || n > s.high) {
                    if (result.rejected_count < sizeof result.rejected / sizeof result.rejected[0])
                        result.rejected[result.rejected_count++] = i;
                    continue;
                }
                values[i] = n;
                break;
            }
            case RULE_BOX:
                values[i] = box(value, ctx, s.name);
                break;
            case RULE_BOX_2_0:
                values[i] = box(value, ctx, s.name) ? 0 : 2;
                break;
            case RULE_CHARSET: {
                const char *v = value(ctx, s.name);
                values[i] = v && strcmp(v, "1") == 0 ? 1 : v && strcmp(v, "2") == 0 ? 2 : 0;
                break;
            }
        }
    }
    // At least one transport and one version stay on, as the boxes ensure:
    // clearing the second box of a pair while the first is clear checks the
    // first again, so a form with both cleared keeps the first.
    if (page == 0) {
        for (auto pair : {std::pair{"UDP", "TCP"}, std::pair{"Version2", "Version3"}}) {
            int a = index_of(pair.first), b = index_of(pair.second);
            if (!values[a] && !values[b]) values[a] = 1;
        }
    }
    if (result.rejected_count > 0) return result;
    bool ok = true;
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page == page) ok = reg_write_number(SUBKEY, s.name, values[i], s.def) && ok;
    }
    result.written = ok;
    return result;
}
