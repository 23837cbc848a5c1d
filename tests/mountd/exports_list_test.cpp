// The export table: export ids against an independent CRC-32, and the
// volume facts that each mount refreshes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "fh/fh.h"
#include "inode/inode.h"
#include "names/name.h"
#include "platform/drive.h"
#include "support/exports_env.h"

namespace {

TEST(ExportList, ExportIdIsZlibCrcWithoutFinalComplement) {
    exports_env env;
    env.load("c:\\data -ro -maproot:7:8 10.0.0.1 10.0.0.2\n");
    ASSERT_EQ(env.entries().size(), 1u);
    const export_entry *e = env.entries()[0];
    // The signature, built here from the fields as the file format says.
    char text[1200];
    int n = snprintf(text, sizeof text, "%s/%u/%u/%u/%u/%x/%u,%u/%u,%u", e->path, e->root_inode,
                     e->drive_type, e->volume_serial, e->max_name, e->flags, e->maproot_uid,
                     e->maproot_gid, e->mapall_uid, e->mapall_gid);
    std::string hex;
    for (unsigned char byte : std::string(text, n) + std::string((char *)e->clients, 8)) {
        char two[3];
        snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    FILE *p = popen(("python3 -c 'import zlib,sys; print(zlib.crc32(bytes.fromhex(sys.argv[1]))"
                     " ^ 0xFFFFFFFF)' " +
                     hex)
                        .c_str(),
                    "r");
    ASSERT_NE(p, nullptr);
    unsigned long crc = 0;
    EXPECT_EQ(fscanf(p, "%lu", &crc), 1);
    pclose(p);
    EXPECT_EQ(e->export_id, crc);
}

TEST(ExportList, VolumeRefreshNoticesANewMedium) {
    exports_env env;
    env.log_level(3);
    drive_map("E", env.home.file("e").c_str(), 2, 1111);
    env.make("../e/");
    std::string log = env.load("e:\\ -ro\n");
    ASSERT_EQ(env.entries().size(), 1u);
    export_entry *e = env.entries()[0];
    char line[256];
    snprintf(line, sizeof line, "e:\\ type 2/%u/NTFS serial 1111 name ", e->max_name);
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_TRUE(e->flags & EXP_NTFS);  // this host's file systems have hard links
    EXPECT_FALSE(e->flags & (EXP_FAT | EXP_LOWERCASE));
    uint32_t id = e->export_id, child = inode_path_lookup("e:\\old.txt");
    ASSERT_NE(child, 0u);

    ASSERT_TRUE(export_volume_refresh(e));  // same medium: nothing forgotten
    EXPECT_EQ(inode_path_find("e:\\old.txt"), child);

    drive_map("E", env.home.file("e").c_str(), 2, 2222);  // another medium
    ASSERT_TRUE(export_volume_refresh(e));
    EXPECT_EQ(e->volume_serial, 2222u);
    EXPECT_EQ(inode_path_find("e:\\old.txt"), 0u);
    EXPECT_EQ(e->export_id, id);

    drive_map("E", env.home.file("gone").c_str(), 2, 0);  // no medium: nothing changes
    EXPECT_FALSE(export_volume_refresh(e));
    EXPECT_EQ(e->volume_serial, 2222u);
}

// A mount refreshes an entry while requests read it; ThreadSanitizer shows
// any unsynchronised access.
TEST(ExportList, RefreshDuringRequestsIsRaceFree) {
    exports_env env;
    drive_map("E", env.home.file("e").c_str(), 2, 0);
    env.load("e:\\ -alldirs 10.0.0.1\n");
    ASSERT_EQ(env.entries().size(), 1u);
    export_entry *e = env.entries()[0];
    env.make("../e/");
    drive_map("E", env.home.file("e").c_str(), 2, 5);  // the medium arrives
    uint8_t fh[FH_SIZE];
    fh_make(e->root_inode, e->export_id, fh);
    std::thread mount([&] {
        for (int i = 0; i < 200; i++) export_volume_refresh(e);
    });
    for (int i = 0; i < 200; i++) {
        char path[NFS_PATH_MAX] = "e:", mount_path[EXPORT_PATH_BUFFER] = "/e/x";
        export_entry *found = nullptr;
        EXPECT_EQ(nfs_add_name(e, path, "readme.txt"), 0u);
        EXPECT_EQ(fh_resolve(fh, &found, path, nullptr), e->root_inode);
        EXPECT_EQ(export_check(mount_path, inet_addr("10.0.0.1"), &found), EXPORT_OK);
    }
    mount.join();
    EXPECT_EQ(export_load(e->volume_serial), 5u);
}

}  // namespace
