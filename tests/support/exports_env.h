// A test world for the exports reader and everything that reads the export
// list: a temporary program directory, drives C: and D: mapped to folders
// "c" and "d" inside it, an open inode table and the log captured in memory.
// Settings in `config` start at their defaults, with "Lowercase" 1, and
// are restored when the world goes.
#pragma once

#include <string>
#include <vector>

#include "exports/export.h"
#include "platform/registry.h"
#include "support/config_guard.h"
#include "support/home.h"
#include "support/log_capture.h"

class exports_env {
    config_guard config_;  // first in, last out

   public:
    exports_env();
    ~exports_env();
    exports_env(const exports_env &) = delete;
    exports_env &operator=(const exports_env &) = delete;

    // Creates a file (or, ending in '/', a folder) below drive C:'s folder.
    void make(const std::string &relative, const std::string &content = "") const;
    // Writes and reads `text` as the exports file; answers what was logged.
    std::string load(const std::string &text);
    // Everything logged (up to level 2, or `log_level`) since the last call.
    std::string log() { return log_.since(); }
    void log_level(int level) { log_.level(level); }
    std::vector<export_entry *> entries() const;
    // A number setting of the server key, `def` when absent.
    unsigned setting(const char *name, unsigned def = 0xFFFFFFFF) const {
        return reg_read_number("nfsd", name, def);
    }

    test_home home;

   private:
    log_capture log_;
};
