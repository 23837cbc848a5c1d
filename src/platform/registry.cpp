// The settings store on this host: registry-export text files.
//
// The file is kept as a list of entries, one per logical line (a hex value may
// run over several physical lines ending in '\'), each with its original
// bytes. A write replaces, inserts or drops single entries and writes the list
// back, so comments, foreign keys and lines we cannot parse survive a rewrite
// byte for byte. Reads never fail hard: an unparseable line is simply not a
// value.
#include "platform/registry.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii.h"
#include "platform/textfile.h"
#include "platform/winfile_internal.h"

namespace {

constexpr const char *REG_MACHINE_ROOT = "HKEY_LOCAL_MACHINE\\Software\\Nimbora";
constexpr const char *REG_USER_ROOT = "HKEY_CURRENT_USER\\Software\\Nimbora";
constexpr const char *REG_FILE_NAME = "settings.reg";
constexpr const char *REG_HEADER = "REGEDIT4";
constexpr uint32_t REG_NT_MAJOR = 10;

// One write at a time, so that two read-modify-write cycles never lose a value.
std::mutex reg_write_lock;

enum reg_type { REG_NONE, REG_TEXT, REG_RAW };

struct reg_entry {
    std::string raw;       // the entry's bytes in the file, line ends included
    bool section = false;  // a "[key]" line
    std::string key;       // section: its key; value: the key it belongs to
    reg_type type = REG_NONE;
    std::string name;  // value name ("" for the default value "@")
    std::string data;  // text, or raw bytes
};

struct reg_file {
    std::vector<reg_entry> entries;
    std::string eol = "\n";
};

// ---- small helpers -------------------------------------------------------

// Key and value names compare as the registry compares them: ASCII letters
// folded, every other byte as it is.
bool equal_nocase(std::string_view a, std::string_view b) {
    return ascii_equal(a.data(), a.size(), b.data(), b.size());
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::string key_path(const char *root, const char *subkey) {
    std::string key = root;
    if (subkey && *subkey) {
        key += '\\';
        key += subkey;
    }
    return key;
}

// Reads a quoted string at s[pos] (which is '"'), undoing the \\ and \"
// escapes; any other backslash stays as it is. False when unterminated.
bool parse_quoted(std::string_view s, size_t &pos, std::string &out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    for (pos++; pos < s.size(); pos++) {
        char c = s[pos];
        if (c == '"') {
            pos++;
            return true;
        }
        if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"'))
            c = s[++pos];
        out += c;
    }
    return false;
}

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "1f,00,a0" with blanks and '\' line continuations between bytes.
bool parse_hex_bytes(std::string_view s, std::string &out) {
    size_t i = 0;
    auto skip = [&] {
        while (i < s.size() &&
               (s[i] == ' ' || s[i] == '\t' || s[i] == '\\' || s[i] == '\r' || s[i] == '\n'))
            i++;
    };
    skip();
    while (i < s.size()) {
        if (i + 1 >= s.size()) return false;
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        skip();
        if (i < s.size()) {
            if (s[i] != ',') return false;
            i++;
            skip();
        }
    }
    return true;
}

// Only a hex value may run over several lines; a comment ending in '\' must
// not swallow the value below it.
bool is_hex_value(std::string_view line) {
    size_t pos = 0;
    std::string name;
    if (line.empty()) return false;
    if (line[0] == '@')
        pos = 1;
    else if (!parse_quoted(line, pos, name))
        return false;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
    if (pos >= line.size() || line[pos] != '=') return false;
    pos++;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
    return line.substr(pos, 3) == "hex";
}

// Parses a value entry ("name"=... or @=...). Leaves type REG_NONE when the
// line is not a value we understand.
void parse_value(std::string_view line, reg_entry &e) {
    size_t pos = 0;
    std::string name;
    if (line.empty()) return;
    if (line[0] == '@') {
        pos = 1;
    } else if (!parse_quoted(line, pos, name)) {
        return;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
    if (pos >= line.size() || line[pos] != '=') return;
    pos++;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
    std::string_view rest = line.substr(pos);
    std::string data;
    if (!rest.empty() && rest[0] == '"') {
        size_t p = 0;
        if (!parse_quoted(rest, p, data) || !trim(rest.substr(p)).empty()) return;
        e.type = REG_TEXT;
    } else if (rest.substr(0, 6) == "dword:") {
        std::string_view digits = trim(rest.substr(6));
        if (digits.empty() || digits.size() > 8) return;
        uint32_t v = 0;
        for (char c : digits) {
            int d = hex_digit(c);
            if (d < 0) return;
            v = v * 16 + d;
        }
        for (int i = 0; i < 4; i++) data += static_cast<char>(v >> (8 * i));  // little-endian
        e.type = REG_RAW;
    } else if (rest.substr(0, 3) == "hex") {
        size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return;
        std::string_view tag = rest.substr(3, colon - 3);  // "" or "(N)"
        if (!tag.empty() && (tag.front() != '(' || tag.back() != ')')) return;
        if (!parse_hex_bytes(rest.substr(colon + 1), data)) return;
        e.type = REG_RAW;
    } else {
        return;
    }
    e.name = std::move(name);
    e.data = std::move(data);
}

// ---- the file ------------------------------------------------------------

std::string machine_file() {
    char dir[PATH_MAX];
    if (!program_directory(dir, sizeof dir)) return "";
    return std::string(dir) + REG_FILE_NAME;
}

std::string user_config_dir() {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char *home = getenv("HOME");
    std::string base;
    if (home && *home) {
        base = home;
    } else {
        struct passwd pw, *res = nullptr;
        char buf[1024];
        if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res) base = res->pw_dir;
    }
    if (base.empty()) return "";
    return base + "/.config";
}

std::string user_file() {
    std::string dir = user_config_dir();
    if (dir.empty()) return "";
    return dir + "/nimbora/" + REG_FILE_NAME;
}

// Reads the whole file. A missing file is an empty store (true); any other
// failure is false, so that a write never replaces a file it could not read.
bool read_all(const std::string &path, std::string &out) {
    out.clear();
    if (path.empty()) return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, n);
    }
    close(fd);
    return true;
}

reg_file parse_file(const std::string &text) {
    reg_file f;
    size_t nl = text.find('\n');
    if (nl != std::string::npos && nl > 0 && text[nl - 1] == '\r') f.eol = "\r\n";
    std::string key;
    size_t pos = 0;
    while (pos < text.size()) {
        reg_entry e;
        // Join the physical lines of one entry: a hex value ending in '\'
        // continues on the next line.
        size_t start = pos;
        bool hex = false;
        for (bool first = true;; first = false) {
            size_t end = text.find('\n', pos);
            end = end == std::string::npos ? text.size() : end + 1;
            std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
            pos = end;
            if (first) hex = is_hex_value(line);
            bool continues = hex && !line.empty() && line.back() == '\\' && pos < text.size();
            if (!continues) break;
        }
        e.raw = text.substr(start, pos - start);
        std::string_view line = trim(e.raw);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            e.section = true;
            key = std::string(line.substr(1, line.size() - 2));
            e.key = key;
        } else {
            e.key = key;
            if (!key.empty()) parse_value(line, e);
        }
        f.entries.push_back(std::move(e));
    }
    // A last line without its line end would merge with whatever we append.
    if (!f.entries.empty() && f.entries.back().raw.back() != '\n') f.entries.back().raw += f.eol;
    return f;
}

bool value_matches(const reg_entry &e, const std::string &key, const char *name) {
    return e.type != REG_NONE && equal_nocase(e.key, key) && equal_nocase(e.name, name);
}

// Finds the last definition of the value, as an import would leave it.
const reg_entry *find_value(const reg_file &f, const std::string &key, const char *name) {
    const reg_entry *found = nullptr;
    for (const reg_entry &e : f.entries)
        if (value_matches(e, key, name)) found = &e;
    return found;
}

uint32_t read_string(const std::string &path, const std::string &key, const char *name,
                     const char *def, char *buf, uint32_t size) {
    if (!buf || size == 0) return 0;
    std::string text;
    const reg_entry *e = nullptr;
    reg_file f;
    if (name && read_all(path, text)) {
        f = parse_file(text);
        e = find_value(f, key, name);
    }
    // Like the registry, a value that does not fit is not read at all; we also
    // keep room for a terminator so that raw bytes are safe to scan.
    if (e && e->data.size() < size) {
        memcpy(buf, e->data.data(), e->data.size());
        buf[e->data.size()] = '\0';
        return e->type == REG_TEXT ? static_cast<uint32_t>(strlen(buf))
                                   : static_cast<uint32_t>(e->data.size());
    }
    if (!def) def = "";
    size_t n = strnlen(def, size - 1);
    memcpy(buf, def, n);
    buf[n] = '\0';
    return static_cast<uint32_t>(n);
}

bool write_string(const std::string &path, const std::string &key, const char *name,
                  const char *text) {
    if (path.empty() || !name) return false;
    if (text && strpbrk(text, "\r\n")) return false;
    if (strpbrk(name, "\r\n")) return false;

    std::lock_guard<std::mutex> lock(reg_write_lock);
    std::string old;
    if (!read_all(path, old)) return false;
    reg_file f = parse_file(old);

    std::string line = (*name ? quote(name) : std::string("@")) + "=";
    if (text) line += quote(text) + f.eol;

    // Drop every definition of the value; the new one takes the place of the first.
    size_t first = f.entries.size();
    bool found = false;
    for (size_t i = f.entries.size(); i-- > 0;) {
        if (!value_matches(f.entries[i], key, name)) continue;
        f.entries.erase(f.entries.begin() + i);
        first = i;
        found = true;
    }
    if (!text && !found) return true;  // already absent: leave the file alone

    if (text) {
        reg_entry e;
        e.raw = line;
        if (!found) {
            // After the last non-blank line of the key's last section, or a new section.
            size_t at = f.entries.size();
            bool have_key = false;
            for (size_t i = 0; i < f.entries.size(); i++) {
                const reg_entry &x = f.entries[i];
                if (!equal_nocase(x.key, key)) continue;
                have_key = true;
                if (x.section || !trim(x.raw).empty()) at = i + 1;
            }
            if (have_key) {
                first = at;
            } else {
                if (f.entries.empty()) {
                    reg_entry h;
                    h.raw = std::string(REG_HEADER) + f.eol;
                    f.entries.push_back(h);
                }
                reg_entry blank, section;
                blank.raw = f.eol;
                section.raw = "[" + key + "]" + f.eol;
                section.section = true;
                f.entries.push_back(blank);
                f.entries.push_back(section);
                first = f.entries.size();
            }
        }
        f.entries.insert(f.entries.begin() + first, e);
    }

    std::string out;
    for (const reg_entry &e : f.entries) out += e.raw;
    return textfile_write(path.c_str(), out, false, nullptr);
}

bool make_user_dir() {
    std::string dir = user_config_dir();
    if (dir.empty()) return false;
    // Each level on its own: the config folder may not exist yet.
    std::string path;
    size_t pos = 0;
    dir += "/nimbora";
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

// ---- interface -----------------------------------------------------------

uint32_t reg_read_string(const char *subkey, const char *name, const char *def, char *buf,
                         uint32_t size) {
    return read_string(machine_file(), key_path(REG_MACHINE_ROOT, subkey), name, def, buf, size);
}

bool reg_write_string(const char *subkey, const char *name, const char *text) {
    return write_string(machine_file(), key_path(REG_MACHINE_ROOT, subkey), name, text);
}

uint32_t reg_read_user_string(const char *subkey, const char *name, const char *def, char *buf,
                              uint32_t size) {
    return read_string(user_file(), key_path(REG_USER_ROOT, subkey), name, def, buf, size);
}

bool reg_write_user_string(const char *subkey, const char *name, const char *text) {
    if (text && !make_user_dir()) return false;
    return write_string(user_file(), key_path(REG_USER_ROOT, subkey), name, text);
}

uint32_t reg_enum_strings(const char *subkey,
                          void (*fn)(const char *name, const char *text, void *ctx), void *ctx) {
    std::string text;
    if (!fn || !read_all(machine_file(), text)) return 0;
    reg_file f = parse_file(text);
    std::string key = key_path(REG_MACHINE_ROOT, subkey);
    std::vector<const reg_entry *> values;
    for (const reg_entry &e : f.entries) {
        if (e.type != REG_TEXT || !equal_nocase(e.key, key)) continue;
        bool replaced = false;
        for (const reg_entry *&v : values)
            if (equal_nocase(v->name, e.name)) {
                v = &e;
                replaced = true;
            }
        if (!replaced) values.push_back(&e);
    }
    for (const reg_entry *v : values) fn(v->name.c_str(), v->data.c_str(), ctx);
    return static_cast<uint32_t>(values.size());
}

bool program_executable_folder(std::string *dir) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return false;
    dir->assign(exe, size_t(n));
    dir->erase(dir->rfind('/') + 1);
    return true;
}

std::string program_folder_absolute(const char *dir) {
    std::string d;
    char real[PATH_MAX];
    if (realpath(dir, real)) {
        d = real;
    } else if (dir[0] == '/') {
        d = dir;
    } else {
        char cwd[PATH_MAX];
        d = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + dir : dir;
    }
    if (d.back() != '/') d += '/';
    return d;
}

uint32_t windows_nt_major() {
    return REG_NT_MAJOR;
}
