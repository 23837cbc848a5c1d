// A fresh empty directory mapped as a drive letter while the object lives.
// While any exists the map holds only temp drives; the directory is removed
// on destruction. Create and destroy them on the test's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "support/home.h"
#include "support/win_calls.h"

class temp_drive {
   public:
    explicit temp_drive(char letter = 'C', uint32_t type = 3, uint32_t serial = 0);
    ~temp_drive();
    temp_drive(const temp_drive &) = delete;
    temp_drive &operator=(const temp_drive &) = delete;

    const std::string &dir() const { return dir_; }  // no trailing '/'
    std::string host(const std::string &rel) const { return dir_ + "/" + rel; }
    bool has(const std::string &rel) const;  // host(rel) exists (a last link not followed)
    // Changes the host below the directory, entry by entry: "d/" makes a
    // directory, "l -> t" a symbolic link to t, "a => b" renames a to b,
    // "-x" removes x (a file or an empty directory), anything else makes an
    // empty file. Fails the test when one does not succeed.
    void make(std::initializer_list<std::string> entries) const;

   private:
    std::string dir_;
    char letter_;
};

// Runs `body` in a child with a private mount namespace and a fresh `fstype`
// mounted on `dir`: the child's exit code, or 77 when that is impossible.
int with_mounted(const std::string &dir, const char *fstype, const std::function<int()> &body);
