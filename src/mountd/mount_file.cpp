// The file "mounttab": the mount table across restarts. One "%x %s\n" line
// per entry, newest first: the client address with its first octet most
// significant, one blank, the path as the client sent it.
#include <cstdio>
#include <cstring>
#include <string>

#include "mountd/mount_internal.h"
#include "platform/registry.h"
#include "platform/textfile.h"

namespace {

constexpr const char *TABLE_FILE = "mounttab";
constexpr uint32_t FILE_NAME_MAX = 1024;
constexpr uint32_t HEX_DIGITS_MAX = 8;
// A line: the address, a blank, a path and the line end, with room to spare
// so that a longer line is seen to be one and dropped rather than cut.
constexpr uint32_t TEXT_LINE_MAX = HEX_DIGITS_MAX + 1 + MOUNT_PATH_MAX + 2;

// True when `name` is the inode table's own file, which the mount table
// must never be written over. (The save's temporary file has a fresh name
// of its own and cannot be.)
bool is_inode_table(const char *name, const char *inode_path) {
    return inode_path[0] && strcmp(name, inode_path) == 0;
}

// `directory` (ending in '/', or empty for the current one) followed by the
// table's name into out; false when it does not fit.
bool join(char *out, uint32_t size, const char *directory, size_t directory_length) {
    return snprintf(out, size, "%.*s%s", int(directory_length), directory, TABLE_FILE) < int(size);
}

bool is_blank(int c) {
    return c == ' ' || c == '\t';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one line without its line end into `line` (TEXT_LINE_MAX + 1 bytes).
// Answers false at the end of the file; *too_long when the line did not fit
// (the rest of it is skipped).
bool read_line(FILE *f, char *line, bool *too_long) {
    uint32_t n = 0;
    int c;
    *too_long = false;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (n < TEXT_LINE_MAX)
            line[n++] = char(c);
        else
            *too_long = true;
    }
    if (c == EOF && n == 0 && !*too_long) return false;
    if (n > 0 && line[n - 1] == '\r') n--;
    line[n] = 0;
    return true;
}

// Splits "hex blank path" into the address (network order) and the path.
// False for a line that is not one.
bool parse_line(char *line, uint32_t *client, const char **path) {
    char *p = line;
    while (is_blank(*p)) p++;
    uint32_t value = 0, digits = 0;
    for (int v; (v = hex_value(*p)) >= 0; p++, digits++) value = value << 4 | uint32_t(v);
    if (digits == 0 || digits > HEX_DIGITS_MAX || !is_blank(*p)) return false;
    while (is_blank(*p)) p++;
    if (!*p || strlen(p) > MOUNT_PATH_MAX) return false;
    *client = htonl(value);
    *path = p;
    return true;
}

// A path that the line format cannot carry back.
bool has_line_end(const char *path) {
    return strpbrk(path, "\r\n") != nullptr;
}

}  // namespace

bool mount_table_file(char *out, uint32_t size) {
    char inode_path[FILE_NAME_MAX];
    reg_read_string("nfsd", "InodePath", "", inode_path, sizeof inode_path);
    if (inode_path[0]) {
        const char *slash = strrchr(inode_path, '/');
        size_t directory_length = slash ? size_t(slash - inode_path) + 1 : 0;
        if (join(out, size, inode_path, directory_length) && !is_inode_table(out, inode_path))
            return true;
    }
    char directory[FILE_NAME_MAX];
    uint32_t n = program_directory(directory, sizeof directory);
    if (n == 0 || !join(out, size, directory, n) || is_inode_table(out, inode_path)) {
        out[0] = 0;
        return false;
    }
    return true;
}

void mount_table_save() {
    char name[FILE_NAME_MAX];
    if (!mount_table_file(name, sizeof name)) return;
    std::string text;
    {
        std::lock_guard<std::mutex> hold(mount_lock());
        char line[HEX_DIGITS_MAX + 2];
        for (const mount_entry *e = mount_table_head(); e; e = e->next) {
            if (has_line_end(e->path)) continue;
            snprintf(line, sizeof line, "%x ", ntohl(e->client));
            text.append(line).append(e->path).push_back('\n');
        }
    }
    // The old table stays until the new one is whole and on disk.
    textfile_write(name, text, false, nullptr);
}

void mount_table_load() {
    char name[FILE_NAME_MAX];
    if (!mount_table_file(name, sizeof name)) return;
    FILE *f = fopen(name, "rb");
    if (!f) return;
    char line[TEXT_LINE_MAX + 1];
    bool too_long;
    while (read_line(f, line, &too_long)) {
        uint32_t client;
        const char *text;
        if (too_long || !parse_line(line, &client, &text)) continue;
        char path[EXPORT_PATH_BUFFER];
        memcpy(path, text, strlen(text) + 1);
        export_entry *entry = nullptr;
        // Only mounts that the exports still admit come back.
        if (export_check(path, client, &entry) == EXPORT_OK) mount_table_update(text, client, entry);
    }
    fclose(f);
}
