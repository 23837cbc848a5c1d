// A fresh empty program directory (settings.reg, the log and the server's
// files land in it) with XDG_CONFIG_HOME inside it, so that user settings
// never touch the real home. Removed and restored when the object goes.
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

    const std::string &path() const { return dir_; }  // ends in '/'
    std::string file(const std::string &name) const { return dir_ + name; }
    // Replaces `name` inside the directory; reads it ("" when unreadable).
    void write(const std::string &name, const std::string &text) const {
        write_file(file(name), text);
    }
    std::string read(const std::string &name) const { return read_file(file(name)); }

   private:
    std::string dir_;
    std::string old_xdg_;
    bool had_xdg_ = false;
};
