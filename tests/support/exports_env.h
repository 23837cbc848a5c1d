// A test world for the exports reader and everything that reads the export
// list: a temporary program directory, drives C: and D: mapped to folders
// inside it, an open inode table and the log captured in memory. Settings in
// `config` start at their defaults and tests may change them.
#pragma once

#include <string>
#include <vector>

#include "mountd/export.h"
#include "support/home.h"

class exports_env {
   public:
    exports_env();
    ~exports_env();
    exports_env(const exports_env &) = delete;
    exports_env &operator=(const exports_env &) = delete;

    // The host folder of drive C: or D: (ending in '/').
    std::string drive_dir(char letter) const;
    // Creates a file (or, ending in '/', a folder) below drive C:'s folder.
    void make(const std::string &relative, const std::string &content = "") const;

    // Writes `text` as the exports file, reads it, and answers the log lines
    // written while reading.
    std::string load(const std::string &text);
    // Everything logged since the last call to log() or load().
    std::string log();
    // Log lines up to `level` are captured (2 unless changed).
    void log_level(int level);
    // The entries in list order.
    std::vector<export_entry *> entries() const;
    // A number setting of the server key, `def` when absent.
    unsigned setting(const char *name, unsigned def = 0xFFFFFFFF) const;

    test_home home;

   private:
    FILE *log_ = nullptr;
    long log_at_ = 0;
};
