// File handles: their bytes, and what a received handle resolves to.
#include "fh/fh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "inode/inode.h"
#include "inode/internal.h"
#include "support/exports_env.h"

namespace {

TEST(FileHandleBytes, LittleEndianWordsWithWrappingCheck) {
    uint8_t fh[FH_SIZE];
    memset(fh, 0xEE, sizeof fh);
    fh_make(64, 7, fh);
    EXPECT_EQ(std::string((char *)fh, FH_SIZE),
              std::string("\x10\0\0\0\x07\0\0\0\x40\0\0\0\x47\0\0\0", 16) + std::string(16, '\0'));
    fh_make(32, 0xFFFFFFF0, fh);
    EXPECT_EQ(std::string((char *)fh, FH3_SIZE),
              std::string("\x10\0\0\0\xf0\xff\xff\xff\x20\0\0\0\x10\0\0\0", 16));
}

class FileHandle : public ::testing::Test {
   protected:
    void SetUp() override {
        env.make("data/");
        env.make("data/f.txt", "x");
        env.load("c:\\data\n");
        ASSERT_EQ(env.entries().size(), 1u);
        rw = env.entries()[0];
    }
    // The record a handle of `inode` in export `export_id` reaches, or 0.
    uint32_t resolve(uint32_t inode, uint32_t export_id) {
        uint8_t fh[FH_SIZE];
        fh_make(inode, export_id, fh);
        const export_entry *e = fh_decode(fh);
        return e ? fh_path(e, fh, path) : 0;
    }

    exports_env env;
    export_entry *rw = nullptr;
    char path[INODE_PATH_MAX] = "";
};

// Version 3 carries the first 16 bytes alone (every call of the procedure
// tables resolves so); any change to them makes the handle stale.
TEST_F(FileHandle, AnyChangeToTheFirst16BytesMakesItStale) {
    uint8_t fh[FH_SIZE];
    ASSERT_NE(fh_for_path(rw->export_id, "c:\\data\\f.txt", fh), 0u);
    for (size_t i = 0; i < FH3_SIZE; i++) {
        uint8_t changed[FH_SIZE];
        memcpy(changed, fh, FH_SIZE);
        changed[i] ^= 0x01;
        EXPECT_EQ(fh_decode(changed), nullptr) << "byte " << i;
    }
}

TEST_F(FileHandle, StaleWhenRemovedMalformedOrOutsideTheExport) {
    uint32_t removed = inode_path_lookup("c:\\data\\f.txt");
    ASSERT_TRUE(inode_remove(removed, false));
    // The client chooses the number: files elsewhere on the drive, the
    // drive root and a sibling whose name begins like the export's.
    const struct {
        uint32_t inode, export_id;
    } cases[] = {
        {removed, rw->export_id},
        {inode_path_lookup("c:\\zzz\\secret"), rw->export_id},
        {inode_path_lookup("c:"), rw->export_id},
        {inode_path_lookup("c:\\database"), rw->export_id},
        {rw->root_inode + 8, rw->export_id},  // not a multiple of 32
        {rw->root_inode, rw->export_id ^ 1},  // no such export
    };
    for (const auto &c : cases) {
        ASSERT_NE(c.inode, 0u);
        EXPECT_EQ(resolve(c.inode, c.export_id), 0u) << c.inode;
    }
    uint8_t zero[FH_SIZE] = {};
    EXPECT_EQ(fh_decode(zero), nullptr);  // the public handle
}

// A table started afresh (here: its volume serial no longer matches) must
// not keep old records in its free space, where old handles would reach them.
TEST_F(FileHandle, StaleAfterTheTableStartedAfresh) {
    uint32_t f = inode_path_lookup("c:\\data\\f.txt");
    ASSERT_NE(f, 0u);
    inode_table_shutdown();
    std::string table = env.home.read("inodes.nfs");
    table[INODE_HDR_SERIAL] ^= 1;
    env.home.write("inodes.nfs", table);
    ASSERT_TRUE(inode_table_init());
    EXPECT_EQ(resolve(f, rw->export_id), 0u);
    EXPECT_EQ(inode_path_lookup("c:\\other"), 64u);  // a new table: the drive at 32
}

}  // namespace
