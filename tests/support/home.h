// A temporary program directory for tests: created empty, made the program
// directory (so settings.reg, the log and the server's files land in it), with
// XDG_CONFIG_HOME pointed inside it so per-user settings never touch the real
// home. Everything is removed and restored when the object goes away.
#pragma once

#include <string>

// Small file helpers for tests (host paths).
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);  // "" when unreadable

class test_home {
   public:
    test_home();
    ~test_home();
    test_home(const test_home &) = delete;
    test_home &operator=(const test_home &) = delete;

    // The directory, ending in '/'.
    const std::string &path() const { return dir_; }
    // `name` inside the directory.
    std::string file(const std::string &name) const { return dir_ + name; }
    // Writes `text` to `name` inside the directory (replacing it).
    void write(const std::string &name, const std::string &text) const {
        write_file(file(name), text);
    }
    // The content of `name`, or "" when it cannot be read.
    std::string read(const std::string &name) const { return read_file(file(name)); }

   private:
    std::string dir_;
    std::string old_xdg_;
    bool had_xdg_ = false;
};
