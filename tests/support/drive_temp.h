// A temporary drive for tests: a fresh empty directory mapped as a drive
// letter (C: unless told otherwise) for the lifetime of the object.
//
//   temp_drive c;                      // c:\ is now c.dir()
//   write_file(c.host("a.txt"), "x");  // /tmp/.../a.txt
//   win_get_file_attributes("c:\\a.txt");
//
// While any temp_drive exists the drive map holds only the temp drives (the
// first one clears it), so a test never reaches the settings store's drives
// or the default "C" = "/". When the last one goes, the map is forgotten and
// the next call reloads it from the settings store. The directory and
// everything in it is removed on destruction (links are not followed).
// Not thread-safe: create and destroy them on the test's main thread.
#pragma once

#include <cstdint>
#include <string>

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
    // The Windows path of `rel` ("a\\b" or "a/b"): "c:\a\b".
    std::string win(const std::string &rel) const;
    char letter() const { return letter_; }

   private:
    std::string dir_;
    char letter_;
};

// Small file helpers for tests (host paths).
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);  // "" when unreadable
