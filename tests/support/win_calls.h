// The Windows last error of a call that failed, or kSucceeded:
// EXPECT_EQ(fails(win_delete_file(p)), ERROR_FILE_NOT_FOUND). The same for
// win_get_file_attributes and win_create_file (the handle is closed again).
// For both hosts; include it before <windows.h>.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kSucceeded = 0xFFFFFFFFu;
uint32_t fails(bool ok);
uint32_t attr_fails(const std::string &path);
uint32_t open_fails(const std::string &path, uint32_t access, uint32_t disposition,
                    uint32_t flags = 0, uint32_t share = 0);
