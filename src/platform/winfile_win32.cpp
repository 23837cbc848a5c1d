// The Windows file calls on Windows: paths, attributes and the calls that
// change names on disk.
//
// Windows itself gives what the POSIX sources emulate: names without case,
// READONLY, HIDDEN and SYSTEM, hard links, sharing. What remains here is the
// boundary. Paths arrive as UTF-8 bytes (src/fs/ has converted the clients'
// character set) and are checked before any call, so that nothing but a
// file on a drive is ever reached: no relative path, no stream, no device.
// Plain ASCII paths, and bytes that are not UTF-8 (which can only be in the
// system's ANSI code page), go to the narrow call unchanged; every other
// path is converted and goes to the wide call.
#include "platform/winfile_win32.h"

#include <cstring>
#include <cwchar>

#include "platform/ascii.h"

namespace {

constexpr uint32_t NAME_LIMIT = 255;  // bytes of one component
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The hard-link calls, looked up by name when the program starts: they
// are not in every kernel32.
typedef BOOL(WINAPI *hardlink_a_fn)(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES);
typedef BOOL(WINAPI *hardlink_w_fn)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES);
struct hardlink_calls {
    hardlink_a_fn narrow = nullptr;
    hardlink_w_fn wide = nullptr;
    hardlink_calls() {
        HMODULE kernel = GetModuleHandleW(L"kernel32");
        if (!kernel) return;
        narrow = reinterpret_cast<hardlink_a_fn>(
            reinterpret_cast<void *>(GetProcAddress(kernel, "CreateHardLinkA")));
        wide = reinterpret_cast<hardlink_w_fn>(
            reinterpret_cast<void *>(GetProcAddress(kernel, "CreateHardLinkW")));
    }
};
const hardlink_calls hardlink;

// Characters no file name holds. '\\' separates names and never gets here;
// '/' would separate them too and ':' would name a stream of the file.
bool name_char_bad(unsigned char c) {
    return c < 32 || (c && strchr("/\"*:<>?|", c));
}

// Names Windows reads as devices, with any extension and trailing spaces.
bool device_name(const char *s, size_t len) {
    static const char *const devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    size_t n = 0;
    while (n < len && s[n] != '.') n++;
    while (n > 0 && s[n - 1] == ' ') n--;
    if (n == 4 && s[3] >= '1' && s[3] <= '9')
        return ascii_equal_n(s, "com", 3) || ascii_equal_n(s, "lpt", 3);
    for (const char *d : devices)
        if (strlen(d) == n && ascii_equal_n(s, d, n)) return true;
    return false;
}

// Length of the root at the start of `p`: 2 for "x:" (then the end or
// '\\'), the length of "\\server\share" for a UNC root; 0 for none.
size_t root_length(const char *p) {
    if (ascii_is_letter(p[0]) && p[1] == ':' && (p[2] == 0 || p[2] == '\\')) return 2;
    if (p[0] != '\\' || p[1] != '\\') return 0;
    size_t server = strcspn(p + 2, "\\");
    if (server == 0 || p[2 + server] == 0) return 0;
    size_t share = strcspn(p + 3 + server, "\\");
    return share == 0 ? 0 : 3 + server + share;
}

// Checks the components from `p` on (the UNC server and share included).
uint32_t check_components(const char *p, bool pattern) {
    while (*p) {
        if (*p == '\\') {
            p++;
            continue;
        }
        size_t len = strcspn(p, "\\");
        bool last = p[len + strspn(p + len, "\\")] == 0;
        if (len > NAME_LIMIT) return ERROR_FILENAME_EXCED_RANGE;
        for (size_t i = 0; i < len; i++) {
            unsigned char c = p[i];
            if (pattern && last && (c == '*' || c == '?')) continue;
            if (name_char_bad(c)) return ERROR_INVALID_NAME;
        }
        if (device_name(p, len)) return ERROR_ACCESS_DENIED;
        p += len;
    }
    return ERROR_SUCCESS;
}

bool plain_ascii(const char *s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) >= 0x80) return false;
    return true;
}

// A move to another case of the same name changes the name on disk on
// Windows; Wine keeps the old name. Where it was kept, the name goes
// through a temporary one beside it.
void settle_case(const hpath &from, const hpath &to) {
    if (wcscmp(from.wide, to.wide) == 0 ||
        CompareStringOrdinal(from.wide, -1, to.wide, -1, TRUE) != CSTR_EQUAL)
        return;
    WIN32_FIND_DATAW w;
    HANDLE h = FindFirstFileW(to.wide, &w);
    if (h == INVALID_HANDLE_VALUE) return;
    FindClose(h);
    const wchar_t *last = wcsrchr(to.wide, L'\\');
    if (!last || wcscmp(w.cFileName, last + 1) == 0) return;
    wchar_t temp[HPATH_CHARS + 16];
    swprintf(temp, sizeof temp / sizeof temp[0], L"%ls.%lu~", to.wide, GetCurrentThreadId());
    if (MoveFileW(to.wide, temp) && !MoveFileW(temp, to.wide)) MoveFileW(temp, from.wide);
}

}  // namespace

uint32_t hpath_make(const char *path, hpath *out, bool pattern) {
    size_t n = strlen(path);
    if (n >= HPATH_BYTES) return ERROR_FILENAME_EXCED_RANGE;
    size_t root = root_length(path);
    if (root == 0) return ERROR_PATH_NOT_FOUND;
    // The device namespaces "\\.\" and "\\?\" are no share.
    if (root > 2 && (path[2] == '.' || path[2] == '?') && path[3] == '\\')
        return ERROR_INVALID_NAME;
    uint32_t e = check_components(path + (root == 2 ? 2 : 1), pattern);
    if (e) return e;
    out->bytes = path;
    out->root = path[root + strspn(path + root, "\\")] == 0;
    if (n == 2) {
        // "x:" alone is the drive's current folder to Windows.
        out->root_text[0] = path[0];
        out->bytes = out->root_text;
    }
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, out->bytes, -1, out->wide,
                                    int(HPATH_CHARS));
    out->narrow = plain_ascii(out->bytes);
    if (chars <= 0) {
        out->narrow = true;
        chars = MultiByteToWideChar(CP_ACP, 0, out->bytes, -1, out->wide, int(HPATH_CHARS));
    }
    if (chars <= 0) return ERROR_INVALID_NAME;
    // "c:\dir\" is the folder itself, as on every host; Windows would not
    // find it with the search calls. The wide form drops the separators.
    if (!out->root && chars > 2 && out->wide[chars - 2] == L'\\') {
        for (chars -= 2; out->wide[chars] == L'\\'; chars--) out->wide[chars] = 0;
        out->narrow = false;
    }
    return ERROR_SUCCESS;
}

bool hpath_ok(const char *path, hpath *out, bool pattern) {
    uint32_t e = hpath_make(path, out, pattern);
    return e == ERROR_SUCCESS || fail_with(e);
}

DWORD hpath_attributes(const hpath &p) {
    return p.narrow ? GetFileAttributesA(p.bytes) : GetFileAttributesW(p.wide);
}

bool hpath_readonly_file(const hpath &p) {
    DWORD a = hpath_attributes(p);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) &&
           !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool fail_last() {
    DWORD e = GetLastError();
    return fail_with(e ? e : ERROR_INVALID_FUNCTION);
}

uint32_t attrs_out(DWORD attributes) {
    uint32_t a = attributes & (KEPT_ATTRIBUTES | FILE_ATTRIBUTE_DIRECTORY);
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool utf8_out(const wchar_t *in, char *out, uint32_t size) {
    if (size == 0) return false;
    if (WideCharToMultiByte(CP_UTF8, 0, in, -1, out, int(size), nullptr, nullptr) > 0) return true;
    out[0] = 0;
    return false;
}

uint32_t win_get_file_attributes(const char *path) {
    uint32_t e;
    if (win_fail_check("GetFileAttributes", &e)) return INVALID_FILE_ATTRIBUTES;
    hpath p;
    if (!hpath_ok(path, &p)) return INVALID_FILE_ATTRIBUTES;
    DWORD a = hpath_attributes(p);
    if (a == INVALID_FILE_ATTRIBUTES) return fail_last(), INVALID_FILE_ATTRIBUTES;
    return attrs_out(a);
}

bool win_set_file_attributes(const char *path, uint32_t attributes) {
    uint32_t e;
    if (win_fail_check("SetFileAttributes", &e)) return false;
    hpath p;
    if (!hpath_ok(path, &p)) return false;
    DWORD a = attributes & KEPT_ATTRIBUTES;
    if (a == 0) a = FILE_ATTRIBUTE_NORMAL;  // 0 would mean "leave them" to the system
    BOOL ok = p.narrow ? SetFileAttributesA(p.bytes, a) : SetFileAttributesW(p.wide, a);
    return ok || fail_last();
}

bool win_delete_file(const char *path) {
    uint32_t e;
    if (win_fail_check("DeleteFile", &e)) return false;
    hpath p;
    if (!hpath_ok(path, &p)) return false;
    if (hpath_readonly_file(p)) return fail_with(ERROR_ACCESS_DENIED);
    return (p.narrow ? DeleteFileA(p.bytes) : DeleteFileW(p.wide)) || fail_last();
}

bool win_create_directory(const char *path) {
    uint32_t e;
    if (win_fail_check("CreateDirectory", &e)) return false;
    hpath p;
    if (!hpath_ok(path, &p)) return false;
    BOOL ok = p.narrow ? CreateDirectoryA(p.bytes, nullptr) : CreateDirectoryW(p.wide, nullptr);
    return ok || fail_last();
}

bool win_remove_directory(const char *path) {
    uint32_t e;
    if (win_fail_check("RemoveDirectory", &e)) return false;
    hpath p;
    if (!hpath_ok(path, &p)) return false;
    // Windows keeps a READONLY directory too; Wine as root would not.
    DWORD a = hpath_attributes(p);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        return fail_with((a & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_ACCESS_DENIED : ERROR_DIRECTORY);
    return (p.narrow ? RemoveDirectoryA(p.bytes) : RemoveDirectoryW(p.wide)) || fail_last();
}

bool win_copy_file(const char *existing, const char *new_path, bool fail_if_exists) {
    uint32_t e;
    if (win_fail_check("CopyFile", &e)) return false;
    hpath from, to;
    if (!hpath_ok(existing, &from) || !hpath_ok(new_path, &to)) return false;
    if (!fail_if_exists && hpath_readonly_file(to)) return fail_with(ERROR_ACCESS_DENIED);
    BOOL ok = from.narrow && to.narrow ? CopyFileA(from.bytes, to.bytes, fail_if_exists)
                                       : CopyFileW(from.wide, to.wide, fail_if_exists);
    return ok || fail_last();
}

bool win_move_file(const char *existing, const char *new_path) {
    uint32_t e;
    if (win_fail_check("MoveFile", &e)) return false;
    hpath from, to;
    if (!hpath_ok(existing, &from) || !hpath_ok(new_path, &to)) return false;
    BOOL ok =
        from.narrow && to.narrow ? MoveFileA(from.bytes, to.bytes) : MoveFileW(from.wide, to.wide);
    if (!ok) return fail_last();
    settle_case(from, to);
    return true;
}

bool win_create_hard_link(const char *new_path, const char *existing) {
    uint32_t e;
    if (win_fail_check("CreateHardLink", &e)) return false;
    hpath link, target;
    if (!hpath_ok(new_path, &link) || !hpath_ok(existing, &target)) return false;
    BOOL ok;
    if (link.narrow && target.narrow && hardlink.narrow)
        ok = hardlink.narrow(link.bytes, target.bytes, nullptr);
    else if (hardlink.wide)
        ok = hardlink.wide(link.wide, target.wide, nullptr);
    else
        return fail_with(ERROR_INVALID_FUNCTION);
    return ok || fail_last();
}

void win_folder_sweep(uint32_t) {}
void win_folder_scope_begin() {}
void win_folder_scope_end() {}
uint64_t win_folder_walks() {
    return 0;
}
