// Attributes as clients see them: modes under a umask, removed folders,
// identity mapping and the volume check. The mode table, both ways, is in
// fileops_create_test; device files, links, link counts, sizes, times and
// the encoders' bytes are pinned by the procedure tables of nfs_proc_test.
#include "nfsd/attr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "inode/inode.h"
#include "nfsd/cache.h"
#include "names/nfs_status.h"
#include "platform/drive.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "support/nfs_tree.h"

namespace {

// The attributes of a Windows path in the first export, as uid 500.
uint32_t attr_of(nfs_tree &t, const std::string &path, nfs_attr *a, uint32_t inode = 0) {
    rpc_cred c = test_cred(500, 100);
    return nfs_path_attr(inode, t.env.entries()[0], path.c_str(), a, &c);
}

// Device files and links show their own modes, whatever the export's umask.
TEST(AttrSpecial, NoUmaskOnDeviceFilesAndLinks) {
    nfs_tree t("c:\\ -umask:077");
    uint8_t h[NFS_SPECIAL_SIZE];
    nfs_special_header(h, NFBLK, 8, 1, 0640);
    const std::pair<const char *, uint32_t> files[] = {{"blk", 0060640}, {"ln", 0120777}};
    for (const auto &[name, mode] : files) {
        t.make(name, *name == 'b' ? std::string(reinterpret_cast<char *>(h), sizeof h) : "x");
        std::string path = std::string("c:\\") + name;
        ASSERT_TRUE(win_set_file_attributes(path.c_str(), FILE_ATTRIBUTE_SYSTEM));
        nfs_attr a;
        ASSERT_EQ(attr_of(t, path, &a), NFS_OK);
        EXPECT_EQ(a.mode, mode) << name;
    }
}

// A folder removed behind the server's back answers NOENT, and its records
// and those below go, so that no handle of them reaches a later file; other
// errors than "not there" keep the record.
TEST(AttrTree, ARemovedFolderTakesTheRecordsBelowWithIt) {
    nfs_tree t;
    for (const char *d : {"d/", "d/f", "top/"}) t.make(d);
    nfs_attr a;
    uint32_t dir = t.inode_of(t.handle("c:\\d")), file = t.inode_of(t.handle("c:\\d\\f"));
    ASSERT_NE(file, 0u);
    std::filesystem::remove_all(t.host("d"));
    EXPECT_EQ(attr_of(t, "c:\\d", &a, dir), NFSERR_NOENT);
    char path[INODE_PATH_MAX];
    EXPECT_EQ(inode_path(dir, path), nullptr);
    EXPECT_EQ(inode_path(file, path), nullptr);
    uint32_t kept = t.inode_of(t.handle("c:\\top"));
    win_fail_inject("FindFirstFile", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(attr_of(t, "c:\\top", &a, kept), NFSERR_ACCES);
    win_fail_clear();
    EXPECT_NE(inode_path(kept, path), nullptr);
}

TEST(AttrIdentity, ExportOptionsMapTheCaller) {
    const struct {
        const char *options;
        uint32_t uid, gid;                // sent
        uint32_t mapped_uid, mapped_gid;  // after the export check
        uint32_t shown_uid, shown_gid;    // as the attributes report them
    } cases[] = {
        {"", 0, 0, 65534, 65534, 0, 0},
        {"-maproot:0", 0, 5, 0, 65534, 0, 0},
        {"-maproot:1000:100", 0, 5, 1000, 100, 1000, 100},
        {"-maproot:1000:100", 7, 5, 7, 5, 7, 5},
        {"-mapall:1000", 500, 7, 1000, 7, 1000, 7},
        {"-mapall:1000:100 -maproot:0:0", 0, 7, 1000, 100, 1000, 100},
        {"-webnfs", 500, 7, 65534, 7, 0, 7},
    };
    for (const auto &c : cases) {
        nfs_tree t(std::string("c:\\ ") + c.options);
        t.make("f", "x");
        rpc_cred cred = test_cred(c.uid, c.gid);
        const export_entry *exp = t.env.entries()[0];
        ASSERT_TRUE(nfs_check_export(exp, "c:\\f", &cred));
        EXPECT_EQ(std::pair(cred.uid, cred.gid), std::pair(c.mapped_uid, c.mapped_gid))
            << c.options << " uid " << c.uid;
        nfs_attr a;
        ASSERT_EQ(nfs_path_attr(0, exp, "c:\\f", &a, &cred), NFS_OK);
        EXPECT_EQ(std::pair(a.uid, a.gid), std::pair(c.shown_uid, c.shown_gid)) << c.options;
    }
}

TEST(AttrIdentity, VolumeCheckOnlyOffFixedDisks) {
    // Drive D: with serial 1234, then another medium (serial 99), then none.
    for (uint32_t type : {DRIVE_REMOVABLE, DRIVE_CDROM, DRIVE_FIXED}) {
        nfs_tree t("d:\\ -maproot:0\n");
        std::string d = t.env.home.file("d");
        ASSERT_TRUE(drive_map("D", d.c_str(), type, 1234));
        t.env.load("d:\\\n");
        const export_entry *exp = t.env.entries()[0];
        ASSERT_EQ(exp->volume_serial, 1234u);
        std::ofstream(d + "/f") << "x";
        nfs_fh fh = t.handle("d:\\f");
        rpc_cred cred = test_cred(0, 0);
        EXPECT_TRUE(nfs_check_export(exp, "d:\\f", &cred));
        EXPECT_EQ(cred.uid, 65534u);  // mapped after the volume test passed
        ASSERT_TRUE(drive_map("D", d.c_str(), type, 99));
        bool fixed = type == DRIVE_FIXED;
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", &cred), fixed) << type;
        nfs_attr a;
        EXPECT_EQ(nfs_fh_attr(test_object(fh, &cred), &a), fixed ? NFS_OK : NFSERR_NXIO) << type;
        ASSERT_TRUE(drive_map("D", (d + "/none").c_str(), type, 0));
        EXPECT_EQ(nfs_check_export(exp, "d:\\f", nullptr), fixed) << type;
    }
}

}  // namespace
