// The string tables: the built-in English one and the module files.
#include "program/lang.h"

#include <cstring>
#include <mutex>

#include "platform/registry.h"
#include "platform/strmod.h"

namespace {

constexpr uint32_t LANG_PRIMARY_GERMAN = 7;

struct entry {
    uint32_t number;
    const char *text;
};

// clang-format off
const entry english[] = {
    {1, "English"}, {2, "1.1.69"}, {3, ""},
    {5, "Module"}, {6, "Language"}, {7, "Version"},
    {8, "Preferences"}, {9, "Exit"}, {11, "nfsd.htm"},
    {13, "Directory"}, {14, "Options"}, {15, "Clients"},
    {16, "Program"}, {17, "Protocol"}, {18, "Port"},
    {19, "Client"}, {20, "Mount Point"},
    {21, "Cannot open exports file."},
    {22, "Line %u ignored, expected drive"},
    {23, "Line %u ignored, expected path"},
    {24, "Line %u ignored, unsupported drive type"},
    {25, "Line %u ignored, unknown option"},
    {26, "Line %u, invalid client"},
    {27, "Line %u truncated, too many clients"},
    {28, "Line %u ignored, unterminated quote"},
    {29, "Line %u, directory does not exist"},
    {30, "NFS"}, {31, "Server"}, {32, "Exports"}, {33, "Mounts"}, {34, "PortMapper"},
    {35, "Language"},
    {36, "Modifications are activated after server restart"},
    {37, "Mount Daemon Port:"},
    {38, "NFS Server Port:"},
    {39, "Number of UDP NFS Server Threads:"},
    {40, "Maximum NFS transfer size (bytes):"},
    {41, "UDP"}, {42, "TCP"}, {43, "Version 2"}, {44, "Version 3"},
    {45, "Async write for NFS-2 (faster)"},
    {46, "Allow unix style soft links"},
    {47, "Emulate hard links by a file copy for other volumes."},
    {48, "&Help"},
    {49, "Use built-in portmapper"},
    {50, "Allow mount of remote devices"},
    {51, "Reset inode-table on restart of server (needs restart of clients)"},
    {52, "Convert Windows drive letters to lower case"},
    {53, "Extended character set used by clients"},
    {54, "Windows (ANSI) character set"},
    {55, "UTF-8 character set"},
    {56, "&Edit exports file"},
    {57, "Save"},
    {58, "Translation by:"},
    {59, "Apply"},
    {60, "Nimbora NFS Server"},
    {61, "Saved; the previous version is kept as exports.bak."},
    {62, "Could not save the exports file."},
    {63, "Applied."},
    {64, "Could not write the settings."},
    {65, "Current language:"},
    {66, "Help"},
    {67, "The server is stopping."},
    {68, "Line %u ignored, duplicate export"},
    {69, "Not saved: the file has problems (listed above)."},
    {70, "Save anyway"},
    {71, "Rejected; accepted values:"},
    {72, "Nothing was applied: correct the marked values."},
};
// clang-format on

// One loaded table: texts by number, "" meaning absent.
struct table {
    std::string text[TXT_LAST + 1];
    bool has[TXT_LAST + 1] = {};
};

std::mutex lang_lock;
table active;              // the loaded module; empty when English is active
std::string active_name;   // its file name

const char *english_text(uint32_t number) {
    for (const entry &e : english)
        if (e.number == number) return e.text;
    return nullptr;
}

// A module name names a file in the folder, nothing else.
bool safe_name(const char *name) {
    return name && *name && !strchr(name, '/') && !strchr(name, '\\') && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// `text` cut to fewer than `max` bytes without splitting a UTF-8 character.
void cut(std::string &text, uint32_t max) {
    if (max == 0 || text.size() < max) return;
    size_t n = max - 1;
    while (n > 0 && (uint8_t(text[n]) & 0xc0) == 0x80) n--;
    text.resize(n);
}

bool load_module(const char *name, table &t) {
    if (!safe_name(name)) return false;
    char home[1024];
    uint32_t n = program_directory(home, sizeof home);
    if (n == 0) return false;
    // The folder's separator is the program directory's own ('/' or '\\').
    std::string path = std::string(home) + LANG_FOLDER + home[n - 1] + name;
    auto keep = [](void *ctx, uint32_t number, const char *text) {
        table &to = *static_cast<table *>(ctx);
        to.text[number] = text;
        cut(to.text[number], LANG_TEXT_MAX);
        to.has[number] = true;
    };
    return strmod_load(path.c_str(), TXT_LAST, keep, &t);
}

}  // namespace

bool lang_locale_german() {
    return strmod_user_language() == LANG_PRIMARY_GERMAN;
}

void lang_select() {
    char name[260];
    if (!reg_read_user_string("nfsd", "Language", "", name, sizeof name))
        reg_read_string("nfsd", "Language", "", name, sizeof name);
    if (!*name && lang_locale_german()) strcpy(name, LANG_GERMAN_MODULE);
    table loaded;
    bool ok = *name && load_module(name, loaded);
    std::lock_guard<std::mutex> hold(lang_lock);
    active = ok ? loaded : table{};
    active_name = ok ? name : "";
}

std::string lang_active_module() {
    std::lock_guard<std::mutex> hold(lang_lock);
    return active_name;
}

uint32_t lang_load_text(uint32_t number, char *buf, uint32_t size) {
    std::string t = lang_text(number);
    if (size == 0) return 0;
    bool found = !t.empty() || english_text(number);
    size_t n = t.size() < size - 1 ? t.size() : size - 1;
    memcpy(buf, t.data(), n);
    buf[n] = 0;
    return found ? uint32_t(n) : 0;
}

std::string lang_text(uint32_t number) {
    {
        std::lock_guard<std::mutex> hold(lang_lock);
        if (number <= TXT_LAST && active.has[number]) return active.text[number];
    }
    const char *e = english_text(number);
    return e ? e : "";
}

bool lang_module_text(const char *name, uint32_t number, std::string &out) {
    if (!name) {
        const char *e = english_text(number);
        out = e ? e : "";
        return e != nullptr;
    }
    table t;
    if (!load_module(name, t)) return false;
    out = number <= TXT_LAST ? t.text[number] : "";
    return true;
}
