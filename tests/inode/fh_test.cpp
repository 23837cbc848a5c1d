// File handles: their bytes, and what a received handle resolves to.
#include "inode/fh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "inode/inode.h"
#include "support/exports_env.h"

namespace {

std::string hex(const uint8_t *bytes, size_t n) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

TEST(FileHandleBytes, LayoutAndWrappingCheckWord) {
    uint8_t fh[FH_SIZE];
    memset(fh, 0xEE, sizeof fh);
    fh_make(64, 7, fh);
    EXPECT_EQ(hex(fh, FH_SIZE),
              "10000000"
              "07000000"
              "40000000"
              "47000000" +
                  std::string(32, '0'));
    fh_make(32, 0xFFFFFFF0, fh);
    EXPECT_EQ(hex(fh, FH3_SIZE),
              "10000000"
              "f0ffffff"
              "20000000"
              "10000000");
}

class FileHandle : public ::testing::Test {
   protected:
    exports_env env;
    export_entry *rw = nullptr, *ro = nullptr;
    char path[1024] = "";

    void SetUp() override {
        env.make("data/");
        env.make("data/f.txt", "x");
        env.make("pub/");
        env.load("c:\\data\nc:\\pub -ro\n");
        ASSERT_EQ(env.entries().size(), 2u);
        rw = env.entries()[0];
        ro = env.entries()[1];
    }
};

TEST_F(FileHandle, ResolvesToExportInodeAndPath) {
    uint8_t fh[FH_SIZE];
    uint32_t inode = fh_for_path(rw->export_id, "c:\\data\\f.txt", fh);
    ASSERT_NE(inode, 0u);
    EXPECT_EQ(inode % 32, 0u);
    export_entry *e = nullptr;
    uint32_t status = 0;
    EXPECT_EQ(fh_resolve(fh, &e, path, &status), inode);
    EXPECT_EQ(e, rw);
    EXPECT_STREQ(path, "c:\\data\\f.txt");
    e = nullptr;
    EXPECT_EQ(fh_dir(fh, &e), inode);
    EXPECT_EQ(e, rw);

    // Only the first 16 bytes count: version 3 handles carry no more.
    for (size_t i = 16; i < FH_SIZE; i++) fh[i] = 0xA5;
    EXPECT_EQ(fh_resolve(fh, &e, path, nullptr), inode);

    // Any change in the first 16 bytes makes it stale.
    for (size_t i = 0; i < FH3_SIZE; i++) {
        uint8_t changed[FH_SIZE];
        memcpy(changed, fh, FH_SIZE);
        changed[i] ^= 0x01;
        EXPECT_EQ(fh_decode(changed), nullptr) << "byte " << i;
        EXPECT_EQ(fh_resolve(changed, &e, path, &status), 0u) << "byte " << i;
        EXPECT_EQ(status, 70u);
    }
}

TEST_F(FileHandle, ReadOnlyExportAnswersRofsBeforeLookingAtTheRecord) {
    uint8_t fh[FH_SIZE];
    uint32_t inode = fh_for_path(ro->export_id, "c:\\pub", fh);
    ASSERT_NE(inode, 0u);
    export_entry *e = nullptr;
    uint32_t status = 0;
    EXPECT_EQ(fh_resolve(fh, &e, path, &status), 0u);  // REMOVE
    EXPECT_EQ(status, 30u);
    EXPECT_EQ(fh_resolve(fh, &e, path, nullptr), inode);  // GETATTR
    EXPECT_EQ(e, ro);

    fh_make(inode + 32 * 100000, ro->export_id, fh);  // no such record
    EXPECT_EQ(fh_resolve(fh, &e, path, &status), 0u);
    EXPECT_EQ(status, 30u);
}

TEST_F(FileHandle, RemovedRecordIsStale) {
    uint8_t fh[FH_SIZE];
    uint32_t inode = fh_for_path(rw->export_id, "c:\\data\\f.txt", fh);
    ASSERT_TRUE(inode_remove(inode, false));
    export_entry *e = nullptr;
    uint32_t status = 0;
    EXPECT_EQ(fh_resolve(fh, &e, path, &status), 0u);
    EXPECT_EQ(status, 70u);
    EXPECT_EQ(fh_resolve(fh, &e, path, nullptr), 0u);
    EXPECT_EQ(fh_dir(fh, &e), 0u);
}

TEST_F(FileHandle, RefusedBeforeTheTableIsConsulted) {
    uint8_t fh[FH_SIZE];
    fh_make(rw->root_inode + 8, rw->export_id, fh);  // not a multiple of 32
    EXPECT_EQ(fh_decode(fh), nullptr);
    fh_make(rw->root_inode, rw->export_id ^ 1, fh);  // no such export
    ASSERT_EQ(export_find(rw->export_id ^ 1), nullptr);
    EXPECT_EQ(fh_decode(fh), nullptr);
    uint8_t zero[FH_SIZE] = {};
    EXPECT_EQ(fh_decode(zero), nullptr);  // the public handle
}

TEST_F(FileHandle, HandleCannotReachOutsideItsExport) {
    // The client chooses the number: an export's id with the number of a
    // file elsewhere on the drive must not resolve.
    uint32_t other = inode_path_lookup("c:\\zzz\\secret");
    uint32_t parent = inode_path_lookup("c:");
    ASSERT_NE(other, 0u);
    uint8_t fh[FH_SIZE];
    export_entry *e = nullptr;
    uint32_t status = 0;
    fh_make(other, rw->export_id, fh);
    EXPECT_EQ(fh_resolve(fh, &e, path, &status), 0u);
    EXPECT_EQ(status, 70u);
    EXPECT_EQ(fh_dir(fh, &e), 0u);
    fh_make(parent, rw->export_id, fh);
    EXPECT_EQ(fh_resolve(fh, &e, path, nullptr), 0u);
    EXPECT_EQ(fh_dir(fh, &e), 0u);
    // A sibling whose name merely begins with the export's name.
    fh_make(inode_path_lookup("c:\\database"), rw->export_id, fh);
    EXPECT_EQ(fh_resolve(fh, &e, path, nullptr), 0u);
}

}  // namespace
