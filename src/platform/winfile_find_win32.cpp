// FindFirstFile and FindNextFile on Windows, and the count of a listing's
// directories.
//
// Searches always use the wide calls, because the names they return go back
// as UTF-8 whatever the pattern was. A name whose UTF-8 form does not fit
// the 260 bytes of the record is left out of listings (and counts), as it
// could not be named again through these calls.
#include <cstring>

#include "platform/pool.h"
#include "platform/winfile_win32.h"

struct win_find {
    HANDLE h;
    bool names_only;  // the records get their names alone
};

namespace {

// Searches come from a small fixed pool, so that the searches of attribute
// reads allocate nothing.
constexpr int POOL = 32;
fixed_pool<win_find, POOL> pool;

win_find *find_alloc() {
    return pool.take();
}

void find_free(win_find *f) {
    FindClose(f->h);
    pool.give(f);
}

bool name_fits(const wchar_t *name) {
    int n = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    return n > 0 && n <= int(sizeof(win_find_data::name));
}

// The narrow record of a wide one; false when its name does not fit.
bool data_out(const WIN32_FIND_DATAW &w, win_find_data *data, bool names_only) {
    memset(data, 0, sizeof *data);
    if (!utf8_out(w.cFileName, data->name, sizeof data->name)) return false;
    if (names_only) return true;
    data->attributes = attrs_out(w.dwFileAttributes);
    data->creation_time = filetime_u64(w.ftCreationTime);
    data->access_time = filetime_u64(w.ftLastAccessTime);
    data->write_time = filetime_u64(w.ftLastWriteTime);
    data->size_high = w.nFileSizeHigh;
    data->size_low = w.nFileSizeLow;
    data->reserved0 = w.dwReserved0;
    data->reserved1 = w.dwReserved1;
    utf8_out(w.cAlternateFileName, data->short_name, sizeof data->short_name);
    return true;
}

HANDLE search(const wchar_t *pattern, WIN32_FIND_DATAW *w, bool names_only) {
    // The basic level leaves out the 8.3 names, which a search of names
    // alone does not need.
    return FindFirstFileExW(pattern, names_only ? FindExInfoBasic : FindExInfoStandard, w,
                            FindExSearchNameMatch, nullptr, 0);
}

// The next record of `f` whose name fits, from `w` on; false (last error
// 18) at the end.
bool next_fitting(win_find *f, WIN32_FIND_DATAW *w, win_find_data *data, bool first) {
    if (!first && !FindNextFileW(f->h, w)) return fail_last();
    while (!data_out(*w, data, f->names_only))
        if (!FindNextFileW(f->h, w)) return fail_last();
    return true;
}

win_find_handle find_first(const char *pattern, win_find_data *data, bool names_only) {
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return nullptr;
    hpath p;
    if (!hpath_ok(pattern, &p, true)) return nullptr;
    // A root is no entry of any directory.
    if (p.root) return fail_with(ERROR_FILE_NOT_FOUND), nullptr;
    WIN32_FIND_DATAW w;
    HANDLE h = search(p.wide, &w, names_only);
    if (h == INVALID_HANDLE_VALUE) return fail_last(), nullptr;
    win_find *f = find_alloc();
    f->h = h;
    f->names_only = names_only;
    if (!next_fitting(f, &w, data, true)) {
        find_free(f);
        return fail_with(ERROR_FILE_NOT_FOUND), nullptr;
    }
    return f;
}

// Counts the directories a search of `pattern` lists; 0 or the error.
DWORD count_wide(const wchar_t *pattern, uint32_t *count) {
    WIN32_FIND_DATAW w;
    HANDLE h = search(pattern, &w, true);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e;  // nothing matched
    }
    do {
        if ((w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name_fits(w.cFileName)) (*count)++;
    } while (FindNextFileW(h, &w));
    FindClose(h);
    return ERROR_SUCCESS;
}

}  // namespace

win_find_handle win_find_first_file(const char *pattern, win_find_data *data) {
    return find_first(pattern, data, false);
}

win_find_handle win_find_first_name(const char *pattern, win_find_data *data) {
    return find_first(pattern, data, true);
}

bool win_find_next_file(win_find_handle h, win_find_data *data) {
    uint32_t e;
    if (!h) return fail_with(ERROR_INVALID_HANDLE);
    if (win_fail_check("FindNextFile", &e)) return false;
    WIN32_FIND_DATAW w;
    return next_fitting(h, &w, data, false);
}

bool win_find_close(win_find_handle h) {
    if (!h) return fail_with(ERROR_INVALID_HANDLE);
    find_free(h);
    return true;
}

bool win_count_directories(const char *pattern, uint32_t *count) {
    *count = 0;
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return false;
    hpath p;
    if (!hpath_ok(pattern, &p, true)) return false;
    if (p.root) return true;
    e = count_wide(p.wide, count);
    return e == ERROR_SUCCESS || fail_with(e);
}

bool win_find_entry(const char *path, win_find_data *data, uint32_t *count) {
    *count = 0;
    uint32_t e;
    if (win_fail_check("FindFirstFile", &e)) return false;
    hpath p;  // wildcards are invalid names here
    if (!hpath_ok(path, &p)) return false;
    if (p.root) return fail_with(ERROR_FILE_NOT_FOUND);
    WIN32_FIND_DATAW w;
    HANDLE h = search(p.wide, &w, false);
    if (h == INVALID_HANDLE_VALUE) return fail_last();
    FindClose(h);
    if (!data_out(w, data, false)) return fail_with(ERROR_FILE_NOT_FOUND);
    if (!(w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    // The directory's own listing; a directory that cannot be listed
    // counts 0.
    static const wchar_t all[] = L"\\*.*";
    size_t n = wcslen(p.wide);
    if (n + sizeof all / sizeof all[0] > HPATH_CHARS) return true;
    wmemcpy(p.wide + n, all, sizeof all / sizeof all[0]);
    if (count_wide(p.wide, count) != ERROR_SUCCESS) *count = 0;
    return true;
}
