// A temporary drive for tests: a fresh empty directory mapped as a drive
// letter (C: unless told otherwise) for the lifetime of the object. While any
// exists the drive map holds only temp drives, so a test never reaches the
// settings store's drives; when the last goes the map is reloaded on next
// use. The directory is removed on destruction (links are not followed).
// Not thread-safe: create and destroy them on the test's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/home.h"

class temp_drive {
   public:
    explicit temp_drive(char letter = 'C', uint32_t type = 3, uint32_t serial = 0);
    ~temp_drive();
    temp_drive(const temp_drive &) = delete;
    temp_drive &operator=(const temp_drive &) = delete;

    // The host directory, without a trailing '/'.
    const std::string &dir() const { return dir_; }
    // A host path below it: host("a/b") is dir() + "/a/b".
    std::string host(const std::string &rel) const { return dir_ + "/" + rel; }
    // Whether host(rel) exists (without following a last link).
    bool has(const std::string &rel) const;
    char letter() const { return letter_; }

   private:
    std::string dir_;
    char letter_;
};

// The Windows last error of a call that failed, or kSucceeded, so that a
// check reads EXPECT_EQ(fails(win_delete_file(p)), ERROR_FILE_NOT_FOUND).
constexpr uint32_t kSucceeded = 0xFFFFFFFFu;
uint32_t fails(bool ok);
// The same for win_get_file_attributes and for win_create_file (the handle
// is closed again).
uint32_t attr_fails(const std::string &path);
uint32_t open_fails(const std::string &path, uint32_t access, uint32_t disposition,
                    uint32_t flags = 0);
// The serial number of a volume root, 0 when the call fails.
uint32_t volume_serial(const char *root);

// Runs `body` in a child process with its own mount namespace in which a
// fresh `fstype` file system is mounted on `dir`; returns the child's exit
// code, or 77 when such a mount is not possible here.
int with_mounted(const std::string &dir, const char *fstype, const std::function<int()> &body);
