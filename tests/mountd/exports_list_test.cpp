// The export table: export ids against an independent CRC-32, export names,
// and the volume facts that each mount refreshes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "inode/fh.h"
#include "inode/inode.h"
#include "mountd/exports_internal.h"
#include "nfsd/name.h"
#include "platform/drive.h"
#include "support/exports_env.h"

namespace {

// zlib's CRC-32 of the file's bytes, with its final complement undone.
uint32_t python_crc(const std::string &file) {
    std::string command =
        "python3 -c \"import zlib,sys; print(zlib.crc32(open(sys.argv[1],'rb')"
        ".read()) ^ 0xFFFFFFFF)\" " +
        file;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return 0;
    char out[64] = "";
    if (!fgets(out, sizeof out, p)) out[0] = 0;
    pclose(p);
    return (uint32_t)strtoul(out, nullptr, 10);
}

class ExportList : public ::testing::Test {
   protected:
    exports_env env;
};

TEST_F(ExportList, ExportIdIsZlibCrcWithoutFinalComplement) {
    env.load("c:\\data -ro -maproot:7:8 10.0.0.1 10.0.0.2\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    const export_entry *e = list[0];

    // The signature, built here from the fields as the file format says.
    char text[1200];
    snprintf(text, sizeof text, "%s/%u/%u/%u/%u/%x/%u,%u/%u,%u", e->path, e->root_inode,
             e->drive_type, e->volume_serial, e->max_name, e->flags, e->maproot_uid, e->maproot_gid,
             e->mapall_uid, e->mapall_gid);
    std::string bytes = text;
    bytes.append((const char *)e->clients, 8);
    std::string file = env.home.file("signature");
    std::ofstream(file, std::ios::binary) << bytes;
    EXPECT_EQ(e->export_id, python_crc(file));

    // The standard check value: CRC-32 of "123456789" is cbf43926 after the
    // complement this id leaves out.
    EXPECT_EQ(export_crc32((const uint8_t *)"123456789", 9), ~0xCBF43926u);
}

TEST_F(ExportList, VolumeRefreshNoticesANewMedium) {
    drive_map("E", env.home.file("e").c_str(), 2, 1111);
    env.make("../e/");
    env.load("e:\\ -ro\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    export_entry *e = list[0];
    EXPECT_EQ(e->drive_type, 2u);
    EXPECT_EQ(e->volume_serial, 1111u);
    uint32_t id = e->export_id;
    uint32_t child = inode_path_lookup("e:\\old.txt");
    ASSERT_NE(child, 0u);

    // Same medium: nothing forgotten.
    ASSERT_TRUE(export_volume_refresh(e));
    EXPECT_EQ(inode_path_find("e:\\old.txt"), child);

    // Another medium: the records below the export go, the id stays.
    drive_map("E", env.home.file("e").c_str(), 2, 2222);
    ASSERT_TRUE(export_volume_refresh(e));
    EXPECT_EQ(e->volume_serial, 2222u);
    EXPECT_EQ(inode_path_find("e:\\old.txt"), 0u);
    EXPECT_EQ(e->export_id, id);

    // No medium: false and nothing changes.
    drive_map("E", env.home.file("gone").c_str(), 2, 0);
    EXPECT_FALSE(export_volume_refresh(e));
    EXPECT_EQ(e->volume_serial, 2222u);
}

TEST_F(ExportList, RefreshDuringRequestsIsRaceFree) {
    // A mount refreshes an entry while requests read it. Under
    // ThreadSanitizer any unsynchronised access to the entry shows here.
    drive_map("E", env.home.file("e").c_str(), 2, 0);
    env.load("e:\\ -alldirs 10.0.0.1\n");
    ASSERT_EQ(env.entries().size(), 1u);
    export_entry *e = env.entries()[0];
    env.make("../e/");
    drive_map("E", env.home.file("e").c_str(), 2, 5);  // the medium arrives
    uint8_t fh[FH_SIZE];
    fh_make(e->root_inode, e->export_id, fh);

    std::atomic<bool> done{false};
    std::thread mount([&] {
        for (int i = 0; i < 200; i++) export_volume_refresh(e);
        done = true;
    });
    int rounds = 0;
    while (!done || rounds == 0) {
        char path[NFS_PATH_MAX] = "e:";
        EXPECT_EQ(nfs_add_name(e, path, "readme.txt"), 0u);
        export_entry *found = nullptr;
        uint32_t status;
        EXPECT_EQ(fh_resolve(fh, &found, path, &status), e->root_inode);
        char mount_path[EXPORT_PATH_BUFFER] = "/e/x";
        EXPECT_EQ(export_check(mount_path, htonl(0x0A000001), &found), EXPORT_OK);
        rounds++;
    }
    mount.join();
    EXPECT_EQ(export_load(e->volume_serial), 5u);
}

TEST_F(ExportList, VolumeLineAtLogLevel3) {
    env.log_level(3);
    std::string log = env.load("c:\\data\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    char expected[256];
    snprintf(expected, sizeof expected, "c:\\ type 3/%u/", list[0]->max_name);
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    snprintf(expected, sizeof expected, " serial %u name ", list[0]->volume_serial);
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_TRUE(list[0]->flags & EXP_NTFS);  // this host's file systems have hard links
    EXPECT_FALSE(list[0]->flags & (EXP_FAT | EXP_LOWERCASE));
}

}  // namespace
