// The mapped inode table file on Windows: a file opened without sharing (the
// exclusive opening), a file mapping and one view over it.
#include "platform/mapfile.h"

#include <string>

// After the layer's headers: <windows.h> defines the same names as macros.
#include "platform/wide_win32.h"

namespace {

HANDLE handle_of(const mapfile *m) {
    return reinterpret_cast<HANDLE>(m->handle);
}

bool set_size(HANDLE h, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(size);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

// A writable view of the first `size` bytes; null on failure. The mapping
// object itself can go at once: the view keeps it alive.
uint8_t *map_view(HANDLE h, uint64_t size) {
    HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READWRITE, DWORD(size >> 32),
                                        DWORD(size & 0xFFFFFFFFu), nullptr);
    if (!mapping) return nullptr;
    void *p = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, SIZE_T(size));
    CloseHandle(mapping);
    return static_cast<uint8_t *>(p);
}

}  // namespace

bool mapfile_open(mapfile *m, const char *path, bool empty_first) {
    mapfile_close(m);
    // No sharing: the table must have one owner, in this process or another,
    // because two servers writing one table would corrupt each other's records.
    HANDLE h = CreateFileW(wide_string(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (empty_first && !set_size(h, 0)) {
        CloseHandle(h);
        return false;
    }
    m->handle = reinterpret_cast<intptr_t>(h);
    return true;
}

bool mapfile_size(const mapfile *m, uint64_t *size) {
    LARGE_INTEGER n;
    if (m->handle == -1 || !GetFileSizeEx(handle_of(m), &n)) return false;
    *size = uint64_t(n.QuadPart);
    return true;
}

bool mapfile_map(mapfile *m, uint64_t size) {
    uint64_t old_size = 0;
    if (m->base || !mapfile_size(m, &old_size)) return false;
    if (size < old_size) size = old_size;
    // Extending with SetEndOfFile allocates the blocks, so writes through the
    // view never fault on a full disk.
    if (size == 0 || (size > old_size && !set_size(handle_of(m), size))) return false;
    uint8_t *p = map_view(handle_of(m), size);
    if (!p) {
        if (size > old_size) set_size(handle_of(m), old_size);
        return false;
    }
    m->base = p;
    m->size = size;
    return true;
}

bool mapfile_grow(mapfile *m, uint64_t new_size) {
    if (!m->base || new_size <= m->size) return false;
    uint64_t old_size = m->size;
    if (!set_size(handle_of(m), new_size)) {
        set_size(handle_of(m), old_size);
        return false;
    }
    uint8_t *p = map_view(handle_of(m), new_size);
    if (!p) {
        // A file cannot shrink under a view, so it may stay longer: the next
        // opening accounts for the zeros.
        set_size(handle_of(m), old_size);
        return false;
    }
    UnmapViewOfFile(m->base);
    m->base = p;
    m->size = new_size;
    return true;
}

void mapfile_unmap(mapfile *m) {
    if (m->base) UnmapViewOfFile(m->base);
    m->base = nullptr;
    m->size = 0;
}

void mapfile_close(mapfile *m) {
    mapfile_unmap(m);
    if (m->handle != -1) CloseHandle(handle_of(m));
    m->handle = -1;
}

bool host_path_volume_serial(const char *posix_path, uint32_t *serial) {
    if (!posix_path || !*posix_path) return false;
    if (posix_path[0] == '\\' && posix_path[1] == '\\') return false;
    // The volume of the path's folder when the file does not exist yet.
    wchar_t full[MAX_PATH * 4], root[MAX_PATH * 4];
    if (!GetFullPathNameW(wide_string(posix_path).c_str(), MAX_PATH * 4, full, nullptr) ||
        !GetVolumePathNameW(full, root, MAX_PATH * 4))
        return false;
    DWORD s = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, &s, nullptr, nullptr, nullptr, 0)) return false;
    *serial = s ? s : 1;
    return true;
}
