// fails(ok): the Windows last error of a call that failed, or kSucceeded, as
// in EXPECT_EQ(fails(win_delete_file(p)), ERROR_FILE_NOT_FOUND); attr_fails
// and open_fails the same for win_get_file_attributes and win_create_file
// (closing the handle). volume_serial: a volume root's serial number, 0 when
// the call fails. find_all: every entry a search gives, by name; the search
// must end with ERROR_NO_MORE_FILES. For both hosts; include before <windows.h>.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/winfile.h"

constexpr uint32_t kSucceeded = 0xFFFFFFFFu;
uint32_t fails(bool ok);
uint32_t attr_fails(const std::string &path);
uint32_t open_fails(const std::string &path, uint32_t access, uint32_t disposition,
                    uint32_t flags = 0, uint32_t share = 0);
uint32_t volume_serial(const char *root);
std::map<std::string, win_find_data> find_all(const std::string &pattern, bool names_only = false);
