// The settings store on Windows: the registry itself. Machine values live
// under HKEY_LOCAL_MACHINE\Software\Nimbora\<subkey>, the per-user ones
// under HKEY_CURRENT_USER. Texts are UTF-8 on our side and wide strings in
// the registry; values of other types are read as their raw bytes.
#include "platform/registry.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/wide_win32.h"

namespace {

constexpr const char *REG_ROOT = "Software\\Nimbora\\";
constexpr DWORD REG_VALUE_MAX = 16384;  // longest value data the store reads, in bytes

std::wstring key_name(const char *subkey) {
    return wide_string((std::string(REG_ROOT) + (subkey ? subkey : "")).c_str());
}

// The value's data as our side sees it: UTF-8 text for the string types,
// the raw bytes for the others. False when key or value is missing.
bool query(HKEY root, const char *subkey, const char *name, std::string &out, bool *text) {
    HKEY key;
    if (RegOpenKeyExW(root, key_name(subkey).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> data(REG_VALUE_MAX + sizeof(wchar_t));
    DWORD type = 0, size = REG_VALUE_MAX;
    LONG rc = RegQueryValueExW(key, wide_string(name).c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    *text = type == REG_SZ || type == REG_EXPAND_SZ;
    if (!*text) {
        out.assign(reinterpret_cast<const char *>(data.data()), size);
        return true;
    }
    data[size] = 0;
    data[size + 1] = 0;
    const auto *w = reinterpret_cast<const wchar_t *>(data.data());
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    out.assign(n > 0 ? size_t(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
    return true;
}

uint32_t read_string(HKEY root, const char *subkey, const char *name, const char *def, char *buf,
                     uint32_t size) {
    if (!buf || size == 0) return 0;
    std::string data;
    bool text = false;
    // Like the registry, a value that does not fit is not read at all; room
    // for a terminator is kept so that raw bytes are safe to scan.
    if (name && query(root, subkey, name, data, &text) && data.size() < size) {
        memcpy(buf, data.data(), data.size());
        buf[data.size()] = '\0';
        return text ? uint32_t(strlen(buf)) : uint32_t(data.size());
    }
    if (!def) def = "";
    size_t n = strnlen(def, size - 1);
    memcpy(buf, def, n);
    buf[n] = '\0';
    return uint32_t(n);
}

bool write_string(HKEY root, const char *subkey, const char *name, const char *text) {
    if (!name) return false;
    HKEY key;
    std::wstring wname = wide_string(name);
    if (!text) {
        if (RegOpenKeyExW(root, key_name(subkey).c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return true;  // no key: the value is absent already
        LONG rc = RegDeleteValueW(key, wname.c_str());
        RegCloseKey(key);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }
    if (RegCreateKeyExW(root, key_name(subkey).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    std::wstring value = wide_string(text);
    LONG rc = RegSetValueExW(key, wname.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(value.c_str()),
                             DWORD((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

}  // namespace

uint32_t reg_read_string(const char *subkey, const char *name, const char *def, char *buf,
                         uint32_t size) {
    return read_string(HKEY_LOCAL_MACHINE, subkey, name, def, buf, size);
}

bool reg_write_string(const char *subkey, const char *name, const char *text) {
    return write_string(HKEY_LOCAL_MACHINE, subkey, name, text);
}

uint32_t reg_read_user_string(const char *subkey, const char *name, const char *def, char *buf,
                              uint32_t size) {
    return read_string(HKEY_CURRENT_USER, subkey, name, def, buf, size);
}

bool reg_write_user_string(const char *subkey, const char *name, const char *text) {
    return write_string(HKEY_CURRENT_USER, subkey, name, text);
}

uint32_t reg_enum_strings(const char *subkey,
                          void (*fn)(const char *name, const char *text, void *ctx), void *ctx) {
    HKEY key;
    if (!fn || RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_name(subkey).c_str(), 0, KEY_QUERY_VALUE,
                             &key) != ERROR_SUCCESS)
        return 0;
    uint32_t count = 0;
    std::vector<wchar_t> wname(REG_VALUE_MAX);
    std::vector<BYTE> data(REG_VALUE_MAX + sizeof(wchar_t));
    char name[REG_VALUE_MAX], text[REG_VALUE_MAX];
    for (DWORD i = 0;; i++) {
        DWORD nlen = DWORD(wname.size()), dlen = REG_VALUE_MAX, type = 0;
        LONG rc = RegEnumValueW(key, i, wname.data(), &nlen, nullptr, &type, data.data(), &dlen);
        if (rc == ERROR_MORE_DATA) continue;  // too long for a setting: skipped
        if (rc != ERROR_SUCCESS) break;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        data[dlen] = 0;
        data[dlen + 1] = 0;
        utf8_from_wide(wname.data(), name, sizeof name);
        utf8_from_wide(reinterpret_cast<const wchar_t *>(data.data()), text, sizeof text);
        fn(name, text, ctx);
        count++;
    }
    RegCloseKey(key);
    return count;
}

bool program_executable_folder(std::string *dir) {
    wchar_t exe[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return false;
    char path[MAX_PATH * 12];
    if (utf8_from_wide(exe, path, sizeof path) == 0) return false;
    *dir = path;
    dir->erase(dir->find_last_of("\\/") + 1);
    return true;
}

std::string program_folder_absolute(const char *dir) {
    wchar_t full[MAX_PATH * 4];
    char path[MAX_PATH * 12];
    DWORD n = GetFullPathNameW(wide_string(dir).c_str(), MAX_PATH * 4, full, nullptr);
    std::string d = n > 0 && n < MAX_PATH * 4 && utf8_from_wide(full, path, sizeof path) ? path : dir;
    if (d.back() != '\\' && d.back() != '/') d += '\\';
    return d;
}

uint32_t windows_nt_major() {
    // RtlGetVersion answers the real version; GetVersionEx answers what the
    // program's manifest claims to know.
    using rtl_get_version = LONG(WINAPI *)(OSVERSIONINFOW *);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = ntdll ? reinterpret_cast<rtl_get_version>(
                           reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")))
                     : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (get && get(&info) == 0) return info.dwPlatformId == VER_PLATFORM_WIN32_NT ? info.dwMajorVersion : 0;
    return 10;
}
