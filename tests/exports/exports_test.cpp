// The exports file as people write it and as an attacker might, a reload
// that must change nothing unless the file is sound, the volume refresh each
// mount makes, matching for MOUNT and the WebNFS lookup from the public handle.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exports/exports_internal.h"
#include "fh/fh.h"
#include "inode/inode.h"
#include "names/name.h"
#include "platform/drive.h"
#include "support/exports_env.h"

namespace {

std::string paths_of(const exports_env &env) {
    std::string list;
    for (export_entry *e : env.entries()) list += std::string(list.empty() ? "" : "|") + e->path;
    return list;
}

class ExportsFile : public ::testing::Test {
   protected:
    exports_env env;
};

// Each row: the file, the paths exported ('|' between), lines the log must
// hold ('|' between; listings read " path-padded-to-12 -options  clients")
// and "ExpError:ExpLine" left behind ("" when none).
TEST_F(ExportsFile, EachFileGivesItsExportsListingAndProblem) {
    std::string clients129 = "c:\\data";
    for (int i = 1; i <= 129; i++)
        clients129 += " 10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    std::string too_long(1021, 'p'), fits(1020, 'p');
    // Export names reach UTF-8 clients converted from the code page.
    config.charset = CHARSET_UTF8;
    env.make("here/");
    const struct {
        std::string text, paths, logs, problem;
    } cases[] = {
        {"\"c:\\Program Files\\Shared\" -ro\n", "c:\\Program Files\\Shared",
         " c:\\Program Files\\Shared -ro\n", ""},
        // Trailing separators fold away, however many: one export, two duplicates.
        {"c:\\\nc:\\\\\nc:\\\\/\nd:\\Data\\\\\n", "c:|d:\\Data",
         "mountd: duplicate exports line 2 ignored\n|mountd: duplicate exports line 3 ignored\n",
         ""},
        {"c:\\data localhost 10.0.0.2\n10.0.0.3 # more\n-ro\n", "c:\\data",
         " c:\\data       127.0.0.1 10.0.0.2 10.0.0.3\n|mountd: Line 3 ignored, expected drive\n",
         "22:3"},
        {"# clients\n" + clients129 + "\n", "c:\\data",
         " 10.0.0.127 10.0.0.128\n|mountd: Line 2 truncated, too many clients\n", "27:2"},
        {"c:\\a\n\nc:\\b -ro -foo 10.0.0.1\nc:\\c no-such-host.invalid\nc:\\d 10.0.0.300\n",
         "c:\\a",
         "mountd: Line 3 ignored, unknown option: foo\n|mountd: Line 4, invalid client: "
         "no-such-host.invalid\n|mountd: Line 5, invalid client: 10.0.0.300\n",
         "26:5"},
        // Line 7 is listed before its stray path word is reported.
        {"c: -ro\nq:\\x\n\\\\srv\\share\nc:\\ok \\extra\nd:\\ok\n", "c:\\ok|d:\\ok",
         "mountd: Line 1 ignored, expected path\n|mountd: Line 2 ignored, unsupported drive type\n"
         "|mountd: Line 3 ignored, expected drive\n| c:\\ok       \nmountd: Line 4 ignored, "
         "expected drive\n",
         "22:4"},
        {"# exports\r\n  c:\\a\t-ro # read-only\r\n\r\n-x\r\n", "c:\\a",
         " c:\\a         -ro\n|mountd: Line 4 ignored, expected drive\n", "22:4"},
        // Cut words would export a parent directory or a prefix option.
        {"c:\\" + too_long + "\nc:\\a -name:" + std::string(1100, 'n') + "\nc:\\" + fits + "\n",
         "c:\\" + fits,
         "mountd: Line 1 ignored, expected path\n|mountd: Line 2 ignored, unknown option: name:nnn",
         "25:2"},
        {std::string("c:\\data\0x\nd:\\ok\n", 16), "d:\\ok",
         "mountd: Line 1 ignored, expected path\n", "23:1"},
        // Every problem is logged with its line; a quote left open ends at its
        // line end and never takes the next line into a name; a directory
        // that is missing is still exported.
        {"c:\\here -foo\n\"c:\\here\\open -ro\nc:\\here\nc:\\gone\ne:\\x\n"
         "c:\\here -name:again\n",
         "c:\\here|c:\\gone",
         "mountd: Line 1 ignored, unknown option: foo\n|mountd: Line 2 ignored, unterminated "
         "quote\n|mountd: Line 4, directory does not exist: c:\\gone\n|mountd: Line 5 ignored, "
         "unsupported drive type\n|mountd: duplicate exports line 6 ignored\n",
         "24:5"},
        {"c:\\caf\xe9 -ro -name:r\xe9sum\xe9 10.0.0.1\n", "c:\\caf\xc3\xa9", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        std::string log = env.load(c.text);
        EXPECT_EQ(paths_of(env), c.paths);
        std::stringstream wanted(c.logs);
        for (std::string line; std::getline(wanted, line, '|');)
            EXPECT_NE(log.find(line), std::string::npos) << line;
        unsigned error = env.setting("ExpError", 0);
        EXPECT_EQ(error ? std::to_string(error) + ":" + std::to_string(env.setting("ExpLine")) : "",
                  c.problem);
    }
    EXPECT_STREQ(env.entries().at(0)->name, "/r\xc3\xa9sum\xc3\xa9");  // the last row's
}

// A report's problems as the pages show them, one a string.
std::vector<std::string> problems(const exports_report &report) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < report.count && i < EXPORTS_PROBLEMS_MAX; i++) {
        char text[200];
        exports_problem_describe(&report.problems[i], text, sizeof text);
        out.push_back(text);
    }
    return out;
}

// A check lists the problems and changes nothing of the running server's
// (list, "-public", log); a reload of a file with any problem keeps the list
// and "-public"; a start without a file empties the list.
TEST_F(ExportsFile, ARefusedReloadOrACheckChangesNothing) {
    env.make("here/");
    env.load("c:\\here\nc:\\gone\n");
    env.home.write("draft", "c:\\here -public\nc:\\here -bar\n");
    exports_report report;
    ASSERT_TRUE(exports_check(env.home.file("draft").c_str(), &report));
    EXPECT_EQ(problems(report).at(0), "Line 2 ignored, unknown option: bar");
    EXPECT_EQ(env.log(), "");
    EXPECT_FALSE(exports_check(env.home.file("none").c_str(), &report));
    EXPECT_EQ(report.problems[0].number, EXPORTS_CANNOT_OPEN);

    // A problem refuses a reload even when its line was kept (a missing
    // directory, which a start exports; an ignored line is the reload test's
    // end to end), and so does a file that is gone; each would set "-public".
    env.home.write("exports", "c:\\here -public\nc:\\nowhere\n");
    EXPECT_FALSE(exports_read(&report, EXPORTS_RELOAD));
    EXPECT_EQ(problems(report).at(0), "Line 2, directory does not exist: c:\\nowhere");
    ASSERT_EQ(unlink(env.home.file("exports").c_str()), 0);
    EXPECT_FALSE(exports_read(&report, EXPORTS_RELOAD));
    EXPECT_EQ(problems(report).at(0), "Cannot open exports file.");
    EXPECT_EQ(paths_of(env), "c:\\here|c:\\gone");
    EXPECT_FALSE(export_public_seen);
    env.log();
    EXPECT_TRUE(exports_read(&report, EXPORTS_START));
    EXPECT_EQ(env.log(), "mountd: Cannot open exports file\n");
    EXPECT_EQ(env.setting("ExpError"), 21u);
    EXPECT_EQ(export_list, nullptr);
}

// A request holds the list from its look-up to its reply: the table it
// walks is rebuilt only after it lets go. One reload builds in the other
// table; the next one must wait for the holder.
TEST_F(ExportsFile, ATableIsNotRebuiltWhileARequestHoldsIt) {
    for (const char *dir : {"keep/", "gone/", "new/"}) env.make(dir);
    env.load("c:\\keep -name:keep\nc:\\gone\n");
    uint32_t ticket = export_hold();
    export_entry *held = export_list.load();
    env.home.write("exports", "c:\\new\n");
    ASSERT_TRUE(exports_read(nullptr, EXPORTS_RELOAD));  // the other table: no wait
    std::atomic<bool> done{false};
    std::thread second([&] {
        env.home.write("exports", "c:\\gone\n");
        exports_read(nullptr, EXPORTS_RELOAD);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load());
    // What the request found is intact while it holds it.
    EXPECT_STREQ(held->path, "c:\\keep");
    ASSERT_NE(held->next, nullptr);
    EXPECT_STREQ(held->next->path, "c:\\gone");
    export_release(ticket);
    second.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(paths_of(env), "c:\\gone");
}

// Random mutations of a real file and the extreme shapes end in a sound
// list; under AddressSanitizer any overrun shows as well.
TEST_F(ExportsFile, HostileFilesLeaveASoundList) {
    std::vector<std::string> texts = {
        "", "", std::string("c:\\a\0\0\0 d:\\b\n\0", 14), "c:\\no-final-line-end -ro",
        "c:\\a \"10.0.0.1\n", "\"c:\\unterminated quote\n -ro\n d:\\b\n"};
    for (int i = 0; i < 10000; i++) {  // 10,000 lines; 10,000 exports
        texts[0] += "x" + std::to_string(i) + "\n";
        texts[1] += "c:\\d" + std::to_string(i) + "\n";
    }
    for (const char *start : {"c:\\", "c:\\a ", "c:\\a -", "\""})
        texts.push_back(start + std::string(100000, start[1] == ':' ? 'x' : '"') + "\n");
    const std::string sample =
        "# exports\r\nc:\\ -ro\n\"c:\\Program Files\\x\" -name:pf -alldirs 10.0.0.1 localhost\n"
        "  10.0.0.2\nd:\\data -range 10.0.0.1 10.0.0.9 -umask:027\n"
        "c:\\a d:\\b -maproot:0:0 -mapall:1000:100 -webnfs\n";
    std::mt19937 mutations(54321);
    for (int round = 0; round < 300; round++) {
        std::string text = sample;
        for (int n = 1 + mutations() % 8; n > 0; n--) {
            size_t at = mutations() % (text.size() + 1);
            int how = mutations() % 3;  // replace, insert or cut
            if (how == 0 && at < text.size()) text[at] = (char)(mutations() & 0xFF);
            if (how == 1) text.insert(at, 1, (char)(mutations() & 0xFF));
            if (how == 2) text.erase(at, mutations() % 12);
        }
        texts.push_back(text);
    }
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        env.load(text);
        int count = 0;
        for (export_entry *e = export_list; e; e = e->next) {
            ASSERT_LE(++count, EXPORT_MAX);
            size_t length = strnlen(e->path, 1024);
            ASSERT_TRUE(length >= 2 && length < 1024 && e->path[length - 1] != '\\') << e->path;
            ASSERT_TRUE(e->client_count >= 0 && e->client_count <= EXPORT_MAX_CLIENTS);
            ASSERT_TRUE(!e->name || (e->name[0] == '/' && strnlen(e->name, 1024) < 1024));
            ASSERT_EQ(e->umask & ~077u, 0u);
            ASSERT_EQ(export_find(e->export_id), e);
        }
        unsigned problem = env.setting("ExpError", 0);
        ASSERT_TRUE(problem == 0 || (problem >= 22 && problem <= 27)) << problem;
    }
    env.load(texts[0]);
    EXPECT_EQ(env.setting("ExpLine"), 10000u);  // every line was read
    env.load(texts[1]);
    EXPECT_EQ(env.entries().size(), (size_t)EXPORT_MAX);
}

// A new medium forgets the old one's records; the same medium or none
// changes nothing. A mount refreshes an entry while requests read it;
// ThreadSanitizer shows any unsynchronised access.
TEST_F(ExportsFile, VolumeRefreshNoticesANewMediumAndRacesWithNoRequest) {
    drive_map("E", env.home.file("e").c_str(), 2, 1111);
    env.make("../e/");
    env.load("e:\\ -alldirs 10.0.0.1\n");
    ASSERT_EQ(env.entries().size(), 1u);
    export_entry *e = env.entries()[0];
    uint32_t id = e->export_id, child = inode_path_lookup("e:\\old.txt");
    ASSERT_TRUE(export_volume_refresh(e));
    EXPECT_EQ(inode_path_find("e:\\old.txt"), child);
    drive_map("E", env.home.file("gone").c_str(), 2, 0);
    EXPECT_FALSE(export_volume_refresh(e));
    drive_map("E", env.home.file("e").c_str(), 2, 2222);
    uint8_t fh[FH_SIZE];
    fh_make(e->root_inode, e->export_id, fh);
    std::thread mount([&] {
        for (int i = 0; i < 200; i++) export_volume_refresh(e);
    });
    for (int i = 0; i < 200; i++) {
        char path[NFS_PATH_MAX] = "e:", mount_path[EXPORT_PATH_BUFFER] = "/e/x";
        export_entry *found = nullptr;
        EXPECT_EQ(nfs_add_name(e, path, "readme.txt"), 0u);
        EXPECT_EQ((found = fh_decode(fh)) ? fh_path(found, fh, path) : 0, e->root_inode);
        EXPECT_EQ(export_check(mount_path, inet_addr("10.0.0.1"), &found), EXPORT_OK);
    }
    mount.join();
    EXPECT_EQ(export_load(e->volume_serial), 2222u);
    EXPECT_EQ(inode_path_find("e:\\old.txt"), 0u);
    EXPECT_EQ(e->export_id, id);
}

// Each row: the exports file, mount paths and clients (blanks between), the
// status, the entry answered (-1 none), the path once rewritten, the log.
TEST_F(ExportsFile, PathsAliasesAndClientsMatchForMount) {
    const std::string ad = "c:\\data -alldirs\n", alias = "c:\\data -name:share\n",
                      two = "c:\\data -ro 10.0.0.1\nc:\\data 10.0.0.2\n",
                      range = "c:\\data -range 10.0.0.10 10.0.0.20 10.0.0.250 10.0.1.5\n";
    // The alias "/d" of a long path, and drive D: whose name "/d" the path
    // would match unrewritten: a rewrite that does not fit answers 2 and
    // never falls through to the other export.
    const std::string l(1000, 'l'), x(20, 'x'), x1000(1000, 'x'),
        longer = "c:\\" + l + " -name:d -alldirs\nd:\\ -alldirs\n";
    const struct {
        std::string exports, paths, clients;
        int status, entry;
        std::string after = "", log = "";
    } cases[] = {
        {ad, "/c/data/projects /c/data/ /c/data", "10.0.0.1", 0, 0},
        {ad, "/c/data2", "10.0.0.1", 2, -1, "", "mountd: path not in exports list /c/data2\n"},
        {"c:\\data\n", "/c/data/projects /c/data/ /C/data", "10.0.0.1", 2, -1},
        {alias, "/share", "10.0.0.1", 0, 0, "/c/data", "mountd: name share --> /c/data\n"},
        {alias, "/share/x /shared", "10.0.0.1", 2, -1},
        {"c:\\data -name:share -alldirs\n", "/share/x", "10.0.0.1", 0, 0, "/c/data/x"},
        {longer, "/d/" + x1000, "10.0.0.1", 2, -1},
        {longer, "/d/" + x, "10.0.0.1", 0, 0, "/c/" + l + "/" + x},  // 1024 characters
        {two, "/c/data", "10.0.0.2", 0, 1},
        {two, "/c/data", "192.168.1.5", 13, 1, "", "mountd: access denied /c/data clnt 501a8c0\n"},
        // Across an octet boundary only a numeric comparison is right.
        {range, "/c/data", "10.0.0.10 10.0.0.20 10.0.1.1 10.0.0.251", 0, 0},
        {range, "/c/data", "10.0.0.21 10.0.0.9 10.0.1.6 10.0.0.249", 13, 0},
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

// A lookup from the public handle (or, with `last` set, a handle that is
// not): the status, and the path found.
uint32_t lookup(const std::string &name, std::string *found = nullptr, uint8_t last = 0) {
    uint8_t handle[32] = {};
    handle[31] = last;
    export_entry *entry = nullptr;
    uint32_t inode = 0;
    char path[1024] = "";
    uint32_t status = webnfs_lookup(handle, name.c_str(), &entry, &inode, path);
    // Found must mean: in the public export, and the record of that path.
    bool sound = entry == export_list.load()->next && inode && inode == inode_path_find(path);
    if (status == 0 && !sound) return ~0u;
    if (found && status == 0) *found = path;
    return status;
}

TEST_F(ExportsFile, WebNfsNamesReachTheirRecordInsideThePublicExportOnlyWhileInUse) {
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
        {"readme.txt", 0, file},  // relative to the public root
        {"sub/../readme.txt", 0, file},
        {"../..", 0, "c:\\data"},  // ".." never leaves the root
        {"", 0, "c:\\data"},
        {"/c/other/x", 1, ""},
        {"/c/database", 1, ""},  // a prefix of the name is not the export
        {native + "d:\\data\\x", 1, ""},
        {"con.txt", 13, ""},
        {std::string(1100, 'n'), 63, ""},
    };
    for (const auto &c : cases) {
        std::string path;
        EXPECT_EQ(lookup(c.name, &path), c.status) << c.name.substr(0, 40);
        EXPECT_EQ(path, c.path) << c.name.substr(0, 40);
    }
    // A public export whose root found no record has nothing to hand out.
    env.entries()[1]->root_inode = 0;
    EXPECT_EQ(lookup(""), 1u);
    EXPECT_EQ(lookup("x"), 1u);
    // Refused (STALE) when not in use: no -webnfs, or a handle not public.
    env.load("c:\\data\n");
    EXPECT_EQ(lookup("/c/data/x"), 70u);
    env.load("c:\\data -webnfs\n");
    EXPECT_EQ(lookup("/c/data/x", nullptr, 1), 70u);
    // -public seen, but only on a line that was ignored.
    env.load("c:\\data -public -bad\nc:\\other\n");
    EXPECT_EQ(lookup("/c/data/x"), 13u);
    EXPECT_EQ(env.log(), "mountd: webnfs access denied\n");
    env.load("c:\\data\n");  // the next file forgets -public
    EXPECT_EQ(lookup("/c/data/x"), 70u);
}

}  // namespace
