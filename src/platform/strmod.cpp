// Language modules on Linux: text files of "number=text" lines.
#include "platform/strmod.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/textfile.h"

namespace {

constexpr uint32_t MODULE_BYTES_MAX = 64 * 1024;

// Two-letter language codes and the numbers Windows gives them.
const struct {
    const char *code;
    uint32_t number;
} languages[] = {{"de", 7}, {"en", 9}, {"fr", 12}, {"it", 16}, {"nl", 19}, {"es", 10}};

}  // namespace

bool strmod_load(const char *path, uint32_t last,
                 void (*fn)(void *ctx, uint32_t number, const char *text), void *ctx) {
    std::string bytes;
    if (!textfile_read(path, bytes, MODULE_BYTES_MAX)) return false;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        char *rest;
        unsigned long n = strtoul(line.c_str(), &rest, 10);
        if (rest == line.c_str() || *rest != '=' || n == 0 || n > last) continue;
        std::string text = rest + 1;
        fn(ctx, uint32_t(n), text.c_str());
    }
    return true;
}

uint32_t strmod_user_language() {
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = getenv(var);
        if (!v || !*v) continue;
        if (strlen(v) < 2 || (v[2] && v[2] != '_' && v[2] != '.' && v[2] != '@')) return 0;
        for (const auto &l : languages)
            if (strncmp(v, l.code, 2) == 0) return l.number;
        return 0;
    }
    return 0;
}
