// A fixture for the inode table tests: a temporary program directory that
// holds "inodes.nfs", a captured log at level 3, and the table file's bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "inode/inode.h"
#include "platform/drive.h"
#include "base/config.h"
#include "support/config_guard.h"
#include "support/home.h"
#include "support/log_capture.h"

using table_hold = std::lock_guard<std::recursive_mutex>;

class inode_test : public ::testing::Test {
   public:
    // The path of a record, "" when it has none.
    static std::string path_of(uint32_t inode) {
        char buf[INODE_PATH_MAX];
        return inode_path(inode, buf) ? std::string(buf) : std::string();
    }
    static std::string name_of(uint32_t inode) {
        table_hold hold(inode_table_lock());
        const uint8_t *rec = inode_record(inode);
        if (!rec) return "<none>";
        char buf[INODE_PATH_MAX];
        inode_name(rec, buf, sizeof buf);
        return buf;
    }
    // The names of a directory's children in list order.
    static std::vector<std::string> children(uint32_t dir) {
        std::vector<std::string> out;
        for (uint32_t i = 0, c; (c = inode_child_at(dir, i)) != 0; i++) out.push_back(name_of(c));
        return out;
    }

   protected:
    void SetUp() override {
        config.charset = CHARSET_UTF8;
        config.remote = 0;
        drive_set_remote(false);
        config.inode_reset = 0;
        config.inode_check = 0;
    }
    void TearDown() override { inode_table_shutdown(); }

    void start() {  // drops the log so far
        log_.clear();
        ASSERT_TRUE(inode_table_init());
    }
    void restart() {
        inode_table_shutdown();
        start();
    }

    std::string table_file() const { return home_.file("inodes.nfs"); }
    std::string log_text() { return log_.text(); }
    bool logged(const std::string &line) { return log_text().find(line) != std::string::npos; }

    std::vector<uint8_t> file_bytes() const {
        std::string s = home_.read("inodes.nfs");
        return std::vector<uint8_t>(s.begin(), s.end());
    }
    void write_bytes(const std::vector<uint8_t> &b) const {
        home_.write("inodes.nfs", std::string(b.begin(), b.end()));
    }

    config_guard config_;
    test_home home_;
    log_capture log_{3};
};
