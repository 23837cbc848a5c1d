// The Windows last error of a call that failed, or kSucceeded:
// EXPECT_EQ(fails(win_delete_file(p)), ERROR_FILE_NOT_FOUND). The same for
// win_get_file_attributes and win_create_file (the handle is closed again).
// volume_serial: the serial number of a volume root, 0 when the call fails.
// find_all: every entry a search gives, by name (a search that finds
// nothing gives none); it must end with ERROR_NO_MORE_FILES.
// For both hosts; include it before <windows.h>.
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
