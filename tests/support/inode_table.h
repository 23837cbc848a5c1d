// A fixture for the inode table tests: a temporary program directory that
// holds "inodes.nfs", a captured log at level 3, and helpers to read and
// patch the table file's bytes between runs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "inode/inode.h"
#include "server/config.h"
#include "server/log.h"
#include "support/home.h"

class inode_test : public ::testing::Test {
   protected:
    void SetUp() override {
        config.charset = 2;
        config.remote = 0;
        config.inode_reset = 0;
        config.inode_check = 0;
        log_ = tmpfile();
        ASSERT_NE(log_, nullptr);
        log_attach(log_, 3);
    }

    void TearDown() override {
        inode_table_shutdown();
        log_attach(nullptr, 0);
        fclose(log_);
    }

    // Starts the table (the log so far is dropped first).
    void start() {
        clear_log();
        ASSERT_TRUE(inode_table_init());
    }
    void restart() {
        inode_table_shutdown();
        start();
    }

    std::string table_file() const { return home_.file("inodes.nfs"); }

    std::string log_text() {
        fflush(log_);
        rewind(log_);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, log_)) > 0) text.append(buf, n);
        return text;
    }
    void clear_log() {
        fflush(log_);
        if (ftruncate(fileno(log_), 0) != 0) FAIL();
        rewind(log_);
    }
    bool logged(const std::string &line) { return log_text().find(line) != std::string::npos; }

    // The table file's bytes (read while the table is closed or mapped).
    std::vector<uint8_t> file_bytes(const std::string &path = "") const {
        std::ifstream in(path.empty() ? table_file() : path, std::ios::binary | std::ios::ate);
        std::vector<uint8_t> bytes(in ? size_t(in.tellg()) : 0);
        in.seekg(0);
        in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
        return bytes;
    }
    void write_bytes(const std::vector<uint8_t> &bytes, const std::string &path = "") const {
        std::ofstream out(path.empty() ? table_file() : path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }
    static uint32_t word(const std::vector<uint8_t> &b, uint32_t off) {
        return inode_get32(&b[off]);
    }
    static void set_word(std::vector<uint8_t> &b, uint32_t off, uint32_t v) {
        inode_put32(&b[off], v);
    }

    // The path of a record, "" when it has none.
    static std::string path_of(uint32_t inode) {
        char buf[INODE_PATH_MAX];
        return inode_path(inode, buf) ? std::string(buf) : std::string();
    }
    static std::string name_of(uint32_t inode) {
        std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
        const uint8_t *rec = inode_record(inode);
        if (!rec) return "<none>";
        char buf[INODE_PATH_MAX];
        inode_name(rec, buf, sizeof buf);
        return buf;
    }
    // The names of a directory's children in list order.
    static std::vector<std::string> children(uint32_t dir) {
        std::vector<std::string> out;
        for (uint32_t i = 0;; i++) {
            uint32_t c = inode_child_at(dir, i);
            if (!c) return out;
            out.push_back(name_of(c));
        }
    }

    test_home home_;
    FILE *log_ = nullptr;
};
