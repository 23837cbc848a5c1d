// Open files on Windows: CreateFile and the calls on a handle. A layer
// handle is the system's handle as a number; sharing and the dispositions
// are the system's own, READONLY is asked first (winfile_win32.h).
#include <cstring>

#include "platform/winfile_win32.h"

namespace {

HANDLE handle_of(win_handle h) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h));
}

// The system's handle of `h`, or null (last error 6) for the layer's
// invalid value and 0, which the system would take for the process itself
// or for no handle.
HANDLE checked(win_handle h) {
    if (h == WIN_NO_HANDLE || h == 0) return fail_with(ERROR_INVALID_HANDLE), nullptr;
    return handle_of(h);
}

}  // namespace

win_handle win_create_file(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags_and_attributes) {
    uint32_t e;
    if (win_fail_check("CreateFile", &e)) return WIN_NO_HANDLE;
    hpath p;
    if (!hpath_ok(path, &p)) return WIN_NO_HANDLE;
    bool changes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS ||
                   disposition == TRUNCATE_EXISTING;
    if (changes && disposition != CREATE_NEW && hpath_readonly_file(p))
        return fail_with(ERROR_ACCESS_DENIED), WIN_NO_HANDLE;
    HANDLE h = p.narrow ? CreateFileA(p.bytes, access, share, nullptr, disposition,
                                      flags_and_attributes, nullptr)
                        : CreateFileW(p.wide, access, share, nullptr, disposition,
                                      flags_and_attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_last(), WIN_NO_HANDLE;
    // Success sets the last error too: 183 when CREATE_ALWAYS or
    // OPEN_ALWAYS met an existing file, 0 otherwise.
    bool reports = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    win_set_last_error(reports && GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS
                                                                         : ERROR_SUCCESS);
    return static_cast<win_handle>(reinterpret_cast<intptr_t>(h));
}

bool win_read_file(win_handle h, void *buf, uint32_t size, uint32_t *read) {
    uint32_t e;
    if (read) *read = 0;
    if (win_fail_check("ReadFile", &e)) return false;
    HANDLE f = checked(h);
    if (!f) return false;
    DWORD n = 0;
    if (!ReadFile(f, buf, size, &n, nullptr)) return fail_last();
    if (read) *read = n;
    return true;
}

bool win_write_file(win_handle h, const void *buf, uint32_t size, uint32_t *written) {
    uint32_t e;
    if (written) *written = 0;
    if (win_fail_check("WriteFile", &e)) return false;
    HANDLE f = checked(h);
    if (!f) return false;
    DWORD n = 0;
    BOOL ok = WriteFile(f, buf, size, &n, nullptr);
    if (written) *written = n;
    if (!ok) return fail_last();
    // A short write with no error is a full disk, as the host layer
    // reports it everywhere.
    return n == size || fail_with(ERROR_DISK_FULL);
}

bool win_set_file_pointer(win_handle h, int64_t distance, int64_t *new_pos, uint32_t method) {
    uint32_t e;
    if (win_fail_check("SetFilePointer", &e)) return false;
    HANDLE f = checked(h);
    if (!f) return false;
    LARGE_INTEGER move, pos;
    move.QuadPart = distance;
    if (!SetFilePointerEx(f, move, &pos, method)) return fail_last();
    if (new_pos) *new_pos = pos.QuadPart;
    return true;
}

bool win_set_end_of_file(win_handle h) {
    uint32_t e;
    if (win_fail_check("SetEndOfFile", &e)) return false;
    HANDLE f = checked(h);
    return f && (SetEndOfFile(f) || fail_last());
}

bool win_get_file_size(win_handle h, uint64_t *size) {
    HANDLE f = checked(h);
    if (!f) return false;
    LARGE_INTEGER n;
    if (!GetFileSizeEx(f, &n)) return fail_last();
    *size = uint64_t(n.QuadPart);
    return true;
}

bool win_get_file_information_by_handle(win_handle h, win_file_info *info) {
    uint32_t e;
    if (win_fail_check("GetFileInformationByHandle", &e)) return false;
    HANDLE f = checked(h);
    if (!f) return false;
    BY_HANDLE_FILE_INFORMATION bh;
    if (!GetFileInformationByHandle(f, &bh)) return fail_last();
    memset(info, 0, sizeof *info);
    info->attributes = attrs_out(bh.dwFileAttributes);
    info->creation_time = filetime_u64(bh.ftCreationTime);
    info->access_time = filetime_u64(bh.ftLastAccessTime);
    info->write_time = filetime_u64(bh.ftLastWriteTime);
    info->volume_serial = bh.dwVolumeSerialNumber;
    info->size_high = bh.nFileSizeHigh;
    info->size_low = bh.nFileSizeLow;
    info->links = bh.nNumberOfLinks;
    info->index_high = bh.nFileIndexHigh;
    info->index_low = bh.nFileIndexLow;
    return true;
}

bool win_flush_file_buffers(win_handle h) {
    uint32_t e;
    if (win_fail_check("FlushFileBuffers", &e)) return false;
    HANDLE f = checked(h);
    return f && (FlushFileBuffers(f) || fail_last());
}

bool win_close_handle(win_handle h) {
    HANDLE f = checked(h);
    return f && (CloseHandle(f) || fail_last());
}
