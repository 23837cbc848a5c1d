// Export matching for MOUNT (paths, aliases, -alldirs, client lists and
// ranges) and the WebNFS lookup from the public handle.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "inode/inode.h"
#include "mountd/export.h"
#include "server/config.h"
#include "support/exports_env.h"

namespace {

uint32_t ip(const char *dotted) {
    in_addr a;
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

class ExportCheck : public ::testing::Test {
   protected:
    exports_env env;

    // Matches `path` for `client`; the rewritten path lands in `path_out`.
    int check(const std::string &path, const char *client, export_entry **entry = nullptr,
              std::string *path_out = nullptr) {
        char buffer[EXPORT_PATH_BUFFER];
        snprintf(buffer, sizeof buffer, "%s", path.c_str());
        export_entry *found = nullptr;
        int status = export_check(buffer, ip(client), &found);
        if (entry) *entry = found;
        if (path_out) *path_out = buffer;
        return status;
    }
};

TEST_F(ExportCheck, AlldirsAdmitsSubdirectoriesOnly) {
    env.load("c:\\data -alldirs\n");
    EXPECT_EQ(check("/c/data/projects", "10.0.0.1"), EXPORT_OK);
    EXPECT_EQ(check("/c/data/", "10.0.0.1"), EXPORT_OK);
    EXPECT_EQ(check("/c/data", "10.0.0.1"), EXPORT_OK);
    env.log();
    EXPECT_EQ(check("/c/data2", "10.0.0.1"), EXPORT_NOENT);
    EXPECT_EQ(env.log(), "mountd: path not in exports list /c/data2\n");

    env.load("c:\\data\n");
    EXPECT_EQ(check("/c/data/projects", "10.0.0.1"), EXPORT_NOENT);
    EXPECT_EQ(check("/c/data/", "10.0.0.1"), EXPORT_NOENT);
    EXPECT_EQ(check("/c/data", "10.0.0.1"), EXPORT_OK);
}

TEST_F(ExportCheck, AliasIsRewrittenToTheExportName) {
    env.load("c:\\data -name:share\n");
    std::string rewritten;
    env.log();
    EXPECT_EQ(check("/share", "10.0.0.1", nullptr, &rewritten), EXPORT_OK);
    EXPECT_EQ(rewritten, "/c/data");
    EXPECT_EQ(env.log(), "mountd: name share --> /c/data\n");
    EXPECT_EQ(check("/c/data", "10.0.0.1"), EXPORT_OK);
    EXPECT_EQ(check("/share/x", "10.0.0.1", nullptr, &rewritten), EXPORT_NOENT);
    EXPECT_EQ(rewritten, "/share/x");
    EXPECT_EQ(check("/shared", "10.0.0.1"), EXPORT_NOENT);

    env.load("c:\\data -name:share -alldirs\n");
    EXPECT_EQ(check("/share/x", "10.0.0.1", nullptr, &rewritten), EXPORT_OK);
    EXPECT_EQ(rewritten, "/c/data/x");
}

TEST_F(ExportCheck, RewriteThatWouldNotFitNamesNoExport) {
    // The alias "/d" of a long path, and drive D: whose export name "/d"
    // the unrewritten path would match: a rewrite that does not fit must
    // neither overrun the buffer nor fall through to the other export.
    std::string long_dir(1000, 'l');
    env.load("c:\\" + long_dir + " -name:d -alldirs\nd:\\ -alldirs\n");
    ASSERT_EQ(env.entries().size(), 2u);
    std::string rest = "/d/" + std::string(1000, 'x');  // 1003 + 1003 > 1024
    std::string rewritten;
    export_entry *e = nullptr;
    env.log();
    EXPECT_EQ(check(rest, "10.0.0.1", &e, &rewritten), EXPORT_NOENT);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(rewritten, rest);
    EXPECT_EQ(env.log(), "mountd: path not in exports list " + rest + "\n");
    // Exactly 1024 characters still fit.
    std::string fits = "/d/" + std::string(20, 'x');  // 1003 + 21
    EXPECT_EQ(check(fits, "10.0.0.1", &e, &rewritten), EXPORT_OK);
    EXPECT_EQ(e, env.entries()[0]);
    EXPECT_EQ(rewritten.size(), 1024u);
}

TEST_F(ExportCheck, SeveralLinesForOnePath) {
    env.load("c:\\data -ro 10.0.0.1\nc:\\data 10.0.0.2\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 2u);
    export_entry *e = nullptr;
    EXPECT_EQ(check("/c/data", "10.0.0.1", &e), EXPORT_OK);
    EXPECT_EQ(e, list[0]);
    EXPECT_EQ(check("/c/data", "10.0.0.2", &e), EXPORT_OK);
    EXPECT_EQ(e, list[1]);
    env.log();
    EXPECT_EQ(check("/c/data", "10.0.0.3", &e), EXPORT_ACCES);
    EXPECT_EQ(e, list[1]);
    EXPECT_EQ(env.log(), "mountd: access denied /c/data clnt 300000a\n");
    env.log();
    check("/c/data", "192.168.1.5");
    EXPECT_EQ(env.log(), "mountd: access denied /c/data clnt 501a8c0\n");
}

TEST_F(ExportCheck, RangesCompareNumerically) {
    env.load("c:\\data -range 10.0.0.10 10.0.0.20 10.0.1.1\n");
    EXPECT_EQ(check("/c/data", "10.0.0.10"), EXPORT_OK);
    EXPECT_EQ(check("/c/data", "10.0.0.20"), EXPORT_OK);
    EXPECT_EQ(check("/c/data", "10.0.0.21"), EXPORT_ACCES);
    EXPECT_EQ(check("/c/data", "10.0.0.9"), EXPORT_ACCES);
    EXPECT_EQ(check("/c/data", "10.0.1.1"), EXPORT_OK);  // a range of one
    EXPECT_EQ(check("/c/data", "10.0.1.2"), EXPORT_ACCES);

    // Across an octet boundary: only a numeric comparison gets this right.
    env.load("c:\\data -range 10.0.0.250 10.0.1.5\n");
    EXPECT_EQ(check("/c/data", "10.0.1.1"), EXPORT_OK);
    EXPECT_EQ(check("/c/data", "10.0.0.251"), EXPORT_OK);
    EXPECT_EQ(check("/c/data", "10.0.1.6"), EXPORT_ACCES);
    EXPECT_EQ(check("/c/data", "10.0.0.249"), EXPORT_ACCES);
}

TEST_F(ExportCheck, DriveLetterIsMatchedAsStored) {
    env.load("C:\\data\n");
    EXPECT_EQ(check("/c/data", "10.0.0.1"), EXPORT_OK);
    EXPECT_EQ(check("/C/data", "10.0.0.1"), EXPORT_NOENT);
}

// ---- WebNFS ----------------------------------------------------------------------

class WebNfs : public ExportCheck {
   protected:
    uint8_t public_handle[32] = {};
    export_entry *entry = nullptr;
    uint32_t inode = 0;
    char path[1024] = "";

    uint32_t lookup(const std::string &name) {
        entry = nullptr;
        inode = 0;
        path[0] = 0;
        return webnfs_lookup(public_handle, name.c_str(), &entry, &inode, path);
    }
};

TEST_F(WebNfs, AbsoluteNativeAndRelativeNamesReachTheFile) {
    env.make("data/");
    env.make("data/readme.txt", "hello");
    env.load("c:\\other\nc:\\data -webnfs\n");
    uint32_t file = inode_path_lookup("c:\\data\\readme.txt");

    ASSERT_EQ(lookup("/c/data/readme.txt"), 0u);
    EXPECT_EQ(entry, env.entries()[1]);
    EXPECT_EQ(inode, file);
    EXPECT_STREQ(path, "c:\\data\\readme.txt");

    ASSERT_EQ(lookup("\x80"
                     "c:\\data\\readme.txt"),
              0u);
    EXPECT_EQ(inode, file);
    ASSERT_EQ(lookup("\x80"
                     "C:\\data\\readme.txt"),
              0u);  // drive letter folded
    EXPECT_EQ(inode, file);

    ASSERT_EQ(lookup("readme.txt"), 0u);
    EXPECT_EQ(inode, file);
    ASSERT_EQ(lookup("sub/../readme.txt"), 0u);
    EXPECT_EQ(inode, file);
    EXPECT_STREQ(path, "c:\\data\\readme.txt");

    // The root itself, and ".." never leaves it.
    ASSERT_EQ(lookup("/c/data"), 0u);
    EXPECT_EQ(inode, env.entries()[1]->root_inode);
    ASSERT_EQ(lookup("../.."), 0u);
    EXPECT_EQ(inode, env.entries()[1]->root_inode);
    EXPECT_STREQ(path, "c:\\data");
}

TEST_F(WebNfs, OutsideThePublicExport) {
    env.load("c:\\data -public\n");
    EXPECT_EQ(lookup("/c/other/x"), 1u);
    EXPECT_EQ(lookup("/c/database"), 1u);  // a prefix of the name is not the export
    EXPECT_EQ(lookup("\x80"
                     "d:\\data\\x"),
              1u);
    EXPECT_EQ(lookup("/"), 1u);
    EXPECT_EQ(entry, nullptr);
}

TEST_F(WebNfs, NameRulesApply) {
    env.load("c:\\data -webnfs\n");
    EXPECT_EQ(lookup("con.txt"), 13u);
    EXPECT_EQ(lookup("a*b"), 2u);
    EXPECT_EQ(lookup(std::string(1100, 'n')), 63u);
    // Empty components are skipped; the empty name is the public root.
    ASSERT_EQ(lookup("x//y/"), 0u);
    EXPECT_STREQ(path, "c:\\data\\x\\y");
    ASSERT_EQ(lookup(""), 0u);
    EXPECT_EQ(inode, env.entries()[0]->root_inode);
    // A public export whose root found no record has nothing to hand out.
    env.entries()[0]->root_inode = 0;
    EXPECT_EQ(lookup(""), 1u);
    EXPECT_EQ(lookup("x"), 1u);
}

TEST_F(WebNfs, NotInUse) {
    env.load("c:\\data\n");
    EXPECT_EQ(lookup("/c/data/x"), 70u);

    env.load("c:\\data -webnfs\n");
    public_handle[31] = 1;
    EXPECT_EQ(lookup("/c/data/x"), 70u);
    public_handle[31] = 0;
    EXPECT_EQ(lookup("/c/data/x"), 0u);

    // -public seen, but only on a line that was ignored.
    env.load("c:\\data -public -bad\nc:\\other\n");
    env.log();
    EXPECT_EQ(lookup("/c/data/x"), 13u);
    EXPECT_EQ(env.log(), "mountd: webnfs access denied\n");
}

}  // namespace
