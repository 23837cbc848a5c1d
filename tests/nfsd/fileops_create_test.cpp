// CREATE, MKNOD and MKDIR: new names on disk and in the inode table, the
// create modes, device headers byte for byte, names that must not reach
// the disk, and what a failed write leaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "fh/fh.h"
#include "inode/inode.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "nfsd/fileops.h"
#include "platform/bytes.h"
#include "support/fileops_tree.h"

namespace {

constexpr uint32_t R = FILE_ATTRIBUTE_READONLY, S = FILE_ATTRIBUTE_SYSTEM,
                   N = FILE_ATTRIBUTE_NORMAL, D = FILE_ATTRIBUTE_DIRECTORY;

struct made {
    uint32_t status;
    nfs_fh fh;
    nfs_attr attr;
};

made create(fileops_tree &t, const std::string &dir, const char *name, uint32_t how,
            const nfs_sattr &s = {}, rpc_cred c = user_cred()) {
    made m{};
    nfs_fh d = t.fh(dir);
    m.status = nfs_create(d.data(), name, how, &s, m.fh.data(), &m.attr, &c);
    return m;
}

made mknod(fileops_tree &t, const char *name, uint32_t type, uint32_t major, uint32_t minor,
           const nfs_sattr &s = {}, const std::string &dir = "") {
    made m{};
    rpc_cred c = user_cred();
    nfs_fh d = t.fh(dir);
    m.status = nfs_mknod(d.data(), name, type, &s, minor, major, m.fh.data(), &m.attr, &c);
    return m;
}

made mkdir(fileops_tree &t, const std::string &dir, const char *name) {
    made m{};
    rpc_cred c = user_cred();
    nfs_fh d = t.fh(dir);
    m.status = file_mkdir(d.data(), name, m.fh.data(), &m.attr, &c);
    return m;
}

// The path the new handle resolves to.
std::string path_of(const nfs_fh &fh) {
    export_entry *exp;
    char path[NFS_PATH_MAX];
    return fh_resolve(fh.data(), &exp, path, nullptr) ? path : "<stale>";
}

uint32_t word(const std::string &s, size_t offset) {
    return load_le32(reinterpret_cast<const uint8_t *>(s.data()) + offset);
}

TEST(FileopsCreate, NewFileHasItsHandleRecordAndMode) {
    fileops_tree t;
    t.make("d/");
    nfs_sattr s{};
    s.set_mode = 1, s.mode = 0444;
    made m = create(t, "d", "New.txt", NFS_CREATE_GUARDED, s);
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_EQ(path_of(m.fh), "c:\\d\\New.txt");
    EXPECT_EQ(t.record("d/new.txt"), nfs_tree::inode_of(m.fh));
    EXPECT_EQ(m.attr.fileid, nfs_tree::inode_of(m.fh));
    EXPECT_EQ(m.attr.type, NFREG);
    EXPECT_EQ(m.attr.mode, 0100444u);
    EXPECT_EQ(m.attr.uid, 500u);
    EXPECT_EQ(t.attrs("d/New.txt"), R);
    EXPECT_EQ(t.listing("d"), std::vector<std::string>{"New.txt"});
    EXPECT_TRUE(t.stale_records().empty());
}

TEST(FileopsCreate, CreateModes) {
    fileops_tree t;
    t.make("f.txt", "old content");
    EXPECT_EQ(create(t, "", "F.TXT", NFS_CREATE_GUARDED).status, NFSERR_EXIST);
    EXPECT_EQ(t.content("f.txt"), "old content");

    made m = create(t, "", "F.TXT", NFS_CREATE_UNCHECKED);
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_EQ(t.content("f.txt"), "");  // truncated, and the name kept its case
    EXPECT_EQ(t.listing(), std::vector<std::string>{"f.txt"});

    EXPECT_EQ(create(t, "", "x.txt", NFS_CREATE_EXCLUSIVE).status, NFSERR_NOTSUPP);
    EXPECT_FALSE(t.exists("x.txt"));
    EXPECT_EQ(t.record("x.txt"), 0u);

    // Size first, then a mode without write permission.
    nfs_sattr s{};
    s.set_size = 1, s.size = 3;
    s.set_mode = 1, s.mode = 0555;
    m = create(t, "", "sized", NFS_CREATE_GUARDED, s);
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_EQ(t.content("sized"), std::string(3, '\0'));
    EXPECT_EQ(m.attr.mode, 0100555u);

    // A read-only file is not truncated by anyone.
    t.make("ro", "keep");
    ASSERT_TRUE(t.set_attrs("ro", R));
    EXPECT_EQ(create(t, "", "ro", NFS_CREATE_UNCHECKED, {}, root_cred()).status, NFSERR_ACCES);
    EXPECT_EQ(t.content("ro"), "keep");
}

TEST(FileopsCreate, NamesThatMustNotReachTheDisk) {
    fileops_tree t("c:\\exp -maproot:0\n", {"exp"});
    const struct {
        const char *name;
        uint32_t status;
    } cases[] = {
        {".", NFSERR_EXIST},        {"..", NFSERR_PERM},       {"a\\b", NFSERR_NOENT},
        {"a/b", NFSERR_NOENT},      {"..\\up", NFSERR_NOENT},  {"", NFSERR_NOENT},
        {"con.txt", NFSERR_ACCES},  {"a:b", NFSERR_NOENT},     {"bad\x01", NFSERR_NOENT},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(create(t, "exp", c.name, NFS_CREATE_UNCHECKED).status, c.status) << c.name;
        EXPECT_EQ(mkdir(t, "exp", c.name).status, c.status) << c.name;
        EXPECT_EQ(mknod(t, c.name, NFCHR, 1, 3, {}, "exp").status, c.status) << c.name;
    }
    EXPECT_EQ(t.listing(), std::vector<std::string>{"exp"});
    EXPECT_TRUE(t.listing("exp").empty());
}

TEST(FileopsCreate, ReadOnlyExportAndStaleHandle) {
    fileops_tree t("c:\\ro -ro\n", {"ro"});
    EXPECT_EQ(create(t, "ro", "f", NFS_CREATE_UNCHECKED).status, NFSERR_ROFS);
    EXPECT_EQ(mkdir(t, "ro", "d").status, NFSERR_ROFS);
    EXPECT_TRUE(t.listing("ro").empty());
    nfs_fh dir = t.fh("ro");
    dir[12] ^= 1;
    made m{};
    rpc_cred c = user_cred();
    nfs_sattr s{};
    EXPECT_EQ(nfs_create(dir.data(), "f", 0, &s, m.fh.data(), &m.attr, &c), NFSERR_STALE);
}

TEST(FileopsMknod, CharacterDeviceHeader) {
    fileops_tree t;
    nfs_sattr s{};
    s.set_mode = 1, s.mode = 0600;
    made m = mknod(t, "null", NFCHR, 1, 3, s);
    ASSERT_EQ(m.status, NFS_OK);
    std::string h = t.content("null");
    ASSERT_EQ(h.size(), 32u);
    EXPECT_EQ(word(h, 0), 0u);
    EXPECT_EQ(h.substr(4, 8), "specdata");
    EXPECT_EQ(word(h, 12), 0u);
    EXPECT_EQ(word(h, 16), 4u);
    EXPECT_EQ(word(h, 20), 1u);
    EXPECT_EQ(word(h, 24), 3u);
    EXPECT_EQ(word(h, 28), 0600u);
    EXPECT_EQ(t.attrs("null"), S);
    EXPECT_EQ(m.attr.type, NFCHR);
    EXPECT_EQ(m.attr.mode, 020600u);
    EXPECT_EQ(m.attr.rdev_major, 1u);
    EXPECT_EQ(m.attr.rdev_minor, 3u);
    EXPECT_EQ(path_of(m.fh), "c:\\null");

    // Without a mode the word stays 0; a block device says 3.
    m = mknod(t, "sda", NFBLK, 8, 0);
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_EQ(word(t.content("sda"), 16), 3u);
    EXPECT_EQ(word(t.content("sda"), 28), 0u);
    EXPECT_EQ(mknod(t, "fifo", 7, 0, 0).status, NFSERR_INVAL);
    EXPECT_FALSE(t.exists("fifo"));
}

TEST(FileopsMknod, ExistingNames) {
    fileops_tree t;
    t.make("data.txt", "precious");
    t.make("d/");
    EXPECT_EQ(mknod(t, "data.txt", NFCHR, 1, 3).status, NFSERR_EXIST);
    EXPECT_EQ(t.content("data.txt"), "precious");
    EXPECT_EQ(mknod(t, "d", NFCHR, 1, 3).status, NFSERR_EXIST);

    // A link or device file of that name is replaced.
    t.make("link", "../x");
    ASSERT_TRUE(t.set_attrs("link", S));
    ASSERT_EQ(mknod(t, "link", NFBLK, 7, 2).status, NFS_OK);
    EXPECT_EQ(word(t.content("link"), 20), 7u);
    EXPECT_EQ(t.attrs("link"), S);
}

TEST(FileopsMknod, FailedWriteLeavesTheNameAsItWas) {
    fileops_tree t;
    t.log();
    win_fail_inject("_write", ENOSPC, 1);
    EXPECT_EQ(mknod(t, "dev", NFCHR, 1, 3).status, NFSERR_NOSPC);
    EXPECT_EQ(t.log(), "nfs_mknod: c:\\dev error 28\n");
    EXPECT_FALSE(t.exists("dev"));
    EXPECT_EQ(t.record("dev"), 0u);

    t.make("link", "../old/text");
    ASSERT_TRUE(t.set_attrs("link", S));
    win_fail_inject("_write", ENOSPC, 1);
    EXPECT_EQ(mknod(t, "link", NFCHR, 1, 3).status, NFSERR_NOSPC);
    EXPECT_EQ(t.content("link"), "../old/text");
    EXPECT_EQ(t.attrs("link"), S);

    win_fail_inject("_open", EACCES, 1);
    EXPECT_EQ(mknod(t, "link", NFCHR, 1, 3).status, NFSERR_ACCES);
    EXPECT_EQ(t.log(), "nfs_mknod: c:\\link error 28\nnfs_mknod: c:\\link error 13\n");
    EXPECT_EQ(t.content("link"), "../old/text");
    EXPECT_EQ(t.attrs("link"), S);

    // A device file that cannot be marked SYSTEM is no device file.
    win_fail_inject("SetFileAttributes", ERROR_NOT_SUPPORTED, 0);
    EXPECT_EQ(mknod(t, "dev", NFCHR, 1, 3).status, NFSERR_IO);
    win_fail_clear();
    EXPECT_FALSE(t.exists("dev"));
}

TEST(FileopsMkdir, NewAndExistingDirectories) {
    fileops_tree t;
    made m = mkdir(t, "", "Sub");
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_EQ(t.attrs("Sub"), D);
    EXPECT_EQ(m.attr.type, NFDIR);
    EXPECT_EQ(path_of(m.fh), "c:\\Sub");
    EXPECT_EQ(t.record("sub"), nfs_tree::inode_of(m.fh));
    m = mkdir(t, "Sub", "inner");
    ASSERT_EQ(m.status, NFS_OK);
    EXPECT_TRUE(t.exists("Sub/inner"));

    t.log();
    EXPECT_EQ(mkdir(t, "", "SUB").status, NFSERR_EXIST);
    t.make("file");
    EXPECT_EQ(mkdir(t, "", "file").status, NFSERR_EXIST);
    EXPECT_EQ(t.log(), "");  // an existing name is no failure worth a line
    win_fail_inject("CreateDirectory", ERROR_DISK_FULL, 1);
    EXPECT_EQ(mkdir(t, "", "full").status, NFSERR_NOSPC);
    EXPECT_EQ(t.log(), "file_mkdir: c:\\full error 112\n");
    EXPECT_TRUE(t.stale_records().empty());
}

}  // namespace
