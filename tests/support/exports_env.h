// A test world for the exports reader and everything that reads the export
// list: a temporary program directory, drives C: and D: mapped to folders
// "c" and "d" inside it, an open inode table and the log captured in memory.
// Settings in `config` start at their defaults, with "Lowercase" 1, and
// are restored when the world goes.
#pragma once

#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/config.h"
#include "exports/export.h"
#include "inode/inode.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "support/config_guard.h"
#include "support/home.h"
#include "support/log_capture.h"

class exports_env {
    config_guard config_;  // first in, last out

   public:
    exports_env() {
        config = nfsd_config{};
        config.lowercase = 1;
        config.datasize = 8192;
        mkdir(home.file("c").c_str(), 0755);
        mkdir(home.file("d").c_str(), 0755);
        drive_clear();
        drive_map("C", home.file("c").c_str(), 3, 0);
        drive_map("D", home.file("d").c_str(), 3, 0);
        if (!inode_table_init()) throw std::runtime_error("inode table did not open");
        log_.level(2);
        exports_clear();
    }
    ~exports_env() {
        exports_clear();
        inode_table_shutdown();
        drive_clear();
        drive_load();
    }
    exports_env(const exports_env &) = delete;
    exports_env &operator=(const exports_env &) = delete;

    // Creates a file (or, ending in '/', a folder) below drive C:'s folder.
    void make(const std::string &relative, const std::string &content = "") const {
        std::string path = home.file("c") + "/" + relative;
        if (!relative.empty() && relative.back() == '/')
            mkdir(path.c_str(), 0755);
        else
            write_file(path, content);
    }
    // Writes and reads `text` as the exports file; answers what was logged.
    std::string load(const std::string &text) {
        home.write("exports", text);
        log();
        exports_read();
        return log();
    }
    // Everything logged (up to level 2, or `log_level`) since the last call.
    std::string log() { return log_.since(); }
    void log_level(int level) { log_.level(level); }
    std::vector<export_entry *> entries() const {
        std::vector<export_entry *> list;
        for (export_entry *e = export_list; e; e = e->next) list.push_back(e);
        return list;
    }
    // A number setting of the server key, `def` when absent.
    unsigned setting(const char *name, unsigned def = 0xFFFFFFFF) const {
        return reg_read_number("nfsd", name, def);
    }

    test_home home;

   private:
    log_capture log_;
};
