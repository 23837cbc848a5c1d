// Small whole files on Windows, by the server's own UTF-8 paths: written to
// a temporary file beside the target, flushed, then moved over it in one
// step (MoveFileEx with REPLACE_EXISTING and WRITE_THROUGH).
#include "platform/textfile.h"

#include <cstdio>
#include <string>

// After the layer's headers: <windows.h> defines the same names as macros.
#include "platform/wide_win32.h"

#include <sddl.h>

namespace {

constexpr uint32_t BACKUP_MAX = 64u << 20;

bool write_whole(HANDLE h, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD chunk = DWORD(text.size() - done > (1u << 30) ? (1u << 30) : text.size() - done);
        DWORD wrote = 0;
        if (!WriteFile(h, text.data() + done, chunk, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    return true;
}

// A private file is for its owner, the system and the administrators only:
// a protected access list, so that the folder's (often readable by every
// user) is not inherited. The move keeps it.
constexpr const wchar_t *PRIVATE_SDDL = L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

bool textfile_read(const char *path, std::string &out, uint32_t max_bytes) {
    out.clear();
    HANDLE h = CreateFileW(wide_string(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[8192];
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (out.size() + n > max_bytes) {
            ok = false;
            break;
        }
        out.append(buf, n);
    }
    CloseHandle(h);
    return ok;
}

bool textfile_write(const char *path, const std::string &text, bool private_file,
                    const char *backup) {
    std::wstring target = wide_string(path);
    if (target.empty()) return false;
    if (backup) {
        std::wstring keep = wide_string(backup);
        if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
            !CopyFileW(target.c_str(), keep.c_str(), FALSE)) {
            std::string old;
            if (!textfile_read(path, old, BACKUP_MAX) || !textfile_write(backup, old, false, nullptr))
                return false;
        }
    }
    std::wstring tmp = target + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                       std::to_wstring(GetCurrentThreadId());
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (private_file && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            PRIVATE_SDDL, SDDL_REVISION_1, &sa.lpSecurityDescriptor, nullptr))
        return false;
    HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, private_file ? &sa : nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sa.lpSecurityDescriptor) LocalFree(sa.lpSecurityDescriptor);
    if (h == INVALID_HANDLE_VALUE) return false;
    // The move must not publish a file whose bytes are still in flight.
    bool ok = write_whole(h, text) && FlushFileBuffers(h);
    if (!CloseHandle(h)) ok = false;
    if (ok)
        ok = MoveFileExW(tmp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileW(tmp.c_str());
    return ok;
}

bool random_bytes(uint8_t *out, uint32_t n) {
    // RtlGenRandom, exported by advapi32 as SystemFunction036.
    using gen_random = BOOLEAN(WINAPI *)(PVOID, ULONG);
    static gen_random gen = [] {
        HMODULE advapi = LoadLibraryW(L"advapi32.dll");
        return advapi ? reinterpret_cast<gen_random>(
                            reinterpret_cast<void *>(GetProcAddress(advapi, "SystemFunction036")))
                      : nullptr;
    }();
    return gen && gen(out, n);
}
