// fails(ok): the Windows last error of a call that failed, or kSucceeded, as
// in EXPECT_EQ(fails(win_delete_file(p)), ERROR_FILE_NOT_FOUND); attr_fails
// and open_fails the same for win_get_file_attributes and win_create_file
// (closing the handle). volume_serial: a volume root's serial number, 0 when
// the call fails. find_all: every entry a search gives, by name; the search
// must end with ERROR_NO_MORE_FILES. For both hosts; include before <windows.h>.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "platform/winfile.h"

constexpr uint32_t kSucceeded = 0xFFFFFFFFu;

inline uint32_t fails(bool ok) {
    return ok ? kSucceeded : win_last_error();
}

inline uint32_t attr_fails(const std::string &path) {
    return fails(win_get_file_attributes(path.c_str()) != INVALID_FILE_ATTRIBUTES);
}

inline uint32_t open_fails(const std::string &path, uint32_t access, uint32_t disposition,
                           uint32_t flags = 0, uint32_t share = 0) {
    win_handle h = win_create_file(path.c_str(), access, share, disposition, flags);
    if (h == INVALID_HANDLE_VALUE) return win_last_error();
    win_close_handle(h);
    return kSucceeded;
}

inline uint32_t volume_serial(const char *root) {
    uint32_t s = 0;
    return win_get_volume_information(root, nullptr, 0, &s, nullptr, nullptr, nullptr, 0) ? s : 0;
}

inline std::map<std::string, win_find_data> find_all(const std::string &pattern,
                                                     bool names_only = false) {
    std::map<std::string, win_find_data> out;
    win_find_data d;
    win_find_handle h = names_only ? win_find_first_name(pattern.c_str(), &d)
                                   : win_find_first_file(pattern.c_str(), &d);
    if (!h) return out;
    do {
        out[d.name] = d;
    } while (win_find_next_file(h, &d));
    EXPECT_EQ(win_last_error(), ERROR_NO_MORE_FILES) << pattern;
    win_find_close(h);
    return out;
}
