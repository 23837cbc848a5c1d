// Export matching for MOUNT (paths, aliases, -alldirs, client lists and
// ranges) and the WebNFS lookup from the public handle.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "inode/inode.h"
#include "support/exports_env.h"

namespace {

// Each row: the exports file, mount paths, the clients that ask, the status,
// the entry answered (index, -1 none), the path once rewritten and the log.
TEST(ExportCheck, PathsAliasesAndClients) {
    exports_env env;
    const std::string ad = "c:\\data -alldirs\n", plain = "c:\\data\n",
                      alias = "c:\\data -name:share\n",
                      two = "c:\\data -ro 10.0.0.1\nc:\\data 10.0.0.2\n",
                      range = "c:\\data -range 10.0.0.10 10.0.0.20 10.0.1.1\n",
                      octets = "c:\\data -range 10.0.0.250 10.0.1.5\n";
    // The alias "/d" of a long path, and drive D: whose name "/d" the path
    // would match unrewritten: a rewrite that does not fit answers 2 and
    // never falls through to the other export.
    const std::string l(1000, 'l'), x(20, 'x'), x1000(1000, 'x'),
        longer = "c:\\" + l + " -name:d -alldirs\nd:\\ -alldirs\n";
    const struct {
        std::string exports, paths, clients;  // blanks between
        int status, entry;
        std::string after = "", log = "";
    } cases[] = {
        {"c:\\\n", "/c", "10.0.0.1", 0, 0},
        {ad, "/c/data/projects /c/data/ /c/data", "10.0.0.1", 0, 0},
        {ad, "/c/data2", "10.0.0.1", 2, -1, "", "mountd: path not in exports list /c/data2\n"},
        {plain, "/c/data/projects /c/data/ /C/data", "10.0.0.1", 2, -1},
        {alias, "/share", "10.0.0.1", 0, 0, "/c/data", "mountd: name share --> /c/data\n"},
        {alias, "/c/data", "10.0.0.1", 0, 0},
        {alias, "/share/x /shared", "10.0.0.1", 2, -1},
        {"c:\\data -name:share -alldirs\n", "/share/x", "10.0.0.1", 0, 0, "/c/data/x",
         "mountd: name share/x --> /c/data/x\n"},
        {longer, "/d/" + x1000, "10.0.0.1", 2, -1, "",
         "mountd: path not in exports list /d/" + x1000 + "\n"},
        {longer, "/d/" + x, "10.0.0.1", 0, 0, "/c/" + l + "/" + x},  // 1024 characters
        {two, "/c/data", "10.0.0.1", 0, 0},
        {two, "/c/data", "10.0.0.2", 0, 1},
        {two, "/c/data", "10.0.0.3", 13, 1, "", "mountd: access denied /c/data clnt 300000a\n"},
        {two, "/c/data", "192.168.1.5", 13, 1, "", "mountd: access denied /c/data clnt 501a8c0\n"},
        {range, "/c/data", "10.0.0.10 10.0.0.20 10.0.1.1", 0, 0},
        {range, "/c/data", "10.0.0.21 10.0.0.9 10.0.1.2", 13, 0},
        // Across an octet boundary only a numeric comparison is right.
        {octets, "/c/data", "10.0.1.1 10.0.0.251", 0, 0},
        {octets, "/c/data", "10.0.1.6 10.0.0.249", 13, 0},
    };
    for (const auto &c : cases) {
        env.load(c.exports);
        std::stringstream paths(c.paths);
        for (std::string one; paths >> one;) {
            std::stringstream clients(c.clients);
            for (std::string client; clients >> client;) {
                SCOPED_TRACE(c.exports.substr(0, 40) + " " + one.substr(0, 40) + " " + client);
                char path[EXPORT_PATH_BUFFER];
                snprintf(path, sizeof path, "%s", one.c_str());
                export_entry *found = nullptr;
                EXPECT_EQ(export_check(path, inet_addr(client.c_str()), &found), c.status);
                EXPECT_EQ(found, c.entry < 0 ? nullptr : env.entries().at(c.entry));
                EXPECT_EQ(path, c.after.empty() ? one : c.after);
                std::string log = env.log();
                EXPECT_TRUE(c.log.empty() || log == c.log) << log;
            }
        }
    }
}

// ---- WebNFS ----------------------------------------------------------------

struct webnfs_answer {
    uint32_t status;
    export_entry *entry = nullptr;
    uint32_t inode = 0;
    char path[1024] = "";
};

// A lookup from the public handle (or, with `last` set, a handle that is not).
webnfs_answer lookup(const std::string &name, uint8_t last = 0) {
    uint8_t handle[32] = {};
    handle[31] = last;
    webnfs_answer a;
    a.status = webnfs_lookup(handle, name.c_str(), &a.entry, &a.inode, a.path);
    return a;
}

TEST(WebNfs, NamesReachTheirRecordInsideThePublicExportOnly) {
    exports_env env;
    env.make("data/");
    env.make("data/readme.txt", "hello");
    env.load("c:\\other\nc:\\data -webnfs\n");
    const std::string file = "c:\\data\\readme.txt", native = "\x80";
    const struct {
        std::string name;
        uint32_t status;
        std::string path;
    } cases[] = {
        {"/c/data/readme.txt", 0, file},
        {native + file, 0, file},
        {native + "C:\\data\\readme.txt", 0, file},
        {"readme.txt", 0, file},  // relative to the public root
        {"sub/../readme.txt", 0, file},
        {"/c/data", 0, "c:\\data"},
        {"../..", 0, "c:\\data"},  // ".." never leaves the root
        {"", 0, "c:\\data"},
        {"x//y/", 0, "c:\\data\\x\\y"},
        {"/c/other/x", 1, ""},
        {"/c/database", 1, ""},  // a prefix of the name is not the export
        {native + "d:\\data\\x", 1, ""},
        {"/", 1, ""},
        {"con.txt", 13, ""},
        {"a*b", 2, ""},
        {std::string(1100, 'n'), 63, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        webnfs_answer a = lookup(c.name);
        ASSERT_EQ(a.status, c.status);
        if (c.status != 0) continue;
        EXPECT_EQ(a.entry, env.entries()[1]);
        EXPECT_STREQ(a.path, c.path.c_str());
        EXPECT_EQ(a.inode, inode_path_find(c.path.c_str()));
        EXPECT_NE(a.inode, 0u);
    }
    // A public export whose root found no record has nothing to hand out.
    env.entries()[1]->root_inode = 0;
    EXPECT_EQ(lookup("").status, 1u);
    EXPECT_EQ(lookup("x").status, 1u);
}

TEST(WebNfs, RefusedWhenNotInUse) {
    exports_env env;
    env.load("c:\\data\n");
    EXPECT_EQ(lookup("/c/data/x").status, 70u);
    env.load("c:\\data -webnfs\n");
    EXPECT_EQ(lookup("/c/data/x", 1).status, 70u);
    // -public seen, but only on a line that was ignored.
    env.load("c:\\data -public -bad\nc:\\other\n");
    EXPECT_EQ(lookup("/c/data/x").status, 13u);
    EXPECT_EQ(env.log(), "mountd: webnfs access denied\n");
    env.load("c:\\data\n");  // the next file forgets -public
    EXPECT_EQ(lookup("/c/data/x").status, 70u);
}

}  // namespace
