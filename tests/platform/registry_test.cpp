// The settings store: what reads get from settings.reg, what writes leave;
// and the drive map read from it, with removable media.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/drive.h"
#include "platform/winfile.h"
#include "support/drive_temp.h"
#include "support/home.h"

namespace {

const std::string KEY = "[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n";

std::string read_str(const char *name, const char *def = "dflt", uint32_t size = 64) {
    std::vector<char> buf(size);
    uint32_t n = reg_read_string("nfsd", name, def, buf.data(), size);
    EXPECT_EQ(n, strlen(buf.data())) << name;
    return buf.data();
}

// Every test gets a fresh program directory.
struct Registry : public ::testing::Test {
    test_home home;
    std::string file() { return home.read("settings.reg"); }
    long entries() {  // names in the program directory
        auto it = std::filesystem::directory_iterator(home.path());
        return std::distance(it, std::filesystem::directory_iterator());
    }
};

TEST_F(Registry, ReadsScanNumbersUndoEscapesAndFallBackToTheDefault) {
    EXPECT_EQ(read_str("Port"), "dflt");
    EXPECT_EQ(entries(), 0) << "a read creates nothing";
    // Keys and names ignore case, the last definition wins, other keys stay apart.
    home.write("settings.reg",
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\other]\n\"Port\"=\"7\"\n\n"
               "[hkey_local_machine\\software\\nimbora\\NFSD]\n\"threads\"=\"2\"\n\n" +
                   KEY +
                   "\"THREADS\"=\"9\"\n\"Abc\"=\"abc\"\n\"Tail\"=\"12abc\"\n\"Big\"=\"70000\"\n"
                   "\"Path\"=\"c:\\\\data\\\\\"\n\"Dword\"=dword:00000007\n"
                   "\"Digit\"=dword:00000037\n\"Hex\"=hex:41,42,\\\n  43,44\n\"After\"=\"read\"\n");
    EXPECT_EQ(reg_read_number("other", "Port", 2049), 7u);
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    // Numbers scan as %u does; a value of another type is raw bytes, so a
    // number there is the default unless its first byte is a digit (0x37).
    const std::pair<const char *, uint32_t> numbers[] = {
        {"Threads", 9}, {"Abc", 4}, {"Tail", 12}, {"Big", 70000}, {"Dword", 4}, {"Digit", 7}};
    for (auto [name, value] : numbers) EXPECT_EQ(reg_read_number("nfsd", name, 4), value) << name;
    // "c:\data\" needs 9 bytes with its terminator: 8 is too small, so the
    // default; a default longer than the buffer is cut, never overrun.
    EXPECT_EQ(read_str("Path", "d", 9), "c:\\data\\");
    EXPECT_EQ(read_str("Path", "d", 8), "d");
    EXPECT_EQ(read_str("Missing", "0123456789", 4), "012");
    EXPECT_EQ(read_str("Hex"), "ABCD");
    EXPECT_EQ(read_str("After"), "read");
}

// Random bytes, then broken lines, then a good key: reads fall back to the
// default or find the good line, and a write keeps what it cannot parse.
TEST_F(Registry, GarbageNeverCrashesAndGoodLinesStillCount) {
    std::string junk;
    std::mt19937 bytes(12345);
    for (int i = 0; i < 20000; i++) junk.push_back(static_cast<char>(bytes()));
    junk += "\n\x01\xff";
    junk.push_back('\0');
    junk +=
        "[[[\n\"unterminated=\"x\n\"Port\"=garbage\n\"Port\"=\"open\n\"Port\"=hex:zz\n"
        "\"Port\"=dword:123456789\n=\n@\n\n" +
        KEY + "\"Threads\"=\"3\"\n\"Port\"=\"bad\"x\n[\n]\n";
    home.write("settings.reg", junk);
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    EXPECT_EQ(reg_read_number("nfsd", "Threads", 4), 3u);
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 2050, 2049));
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2050u);
    EXPECT_EQ(file().substr(0, 20000), junk.substr(0, 20000));
}

TEST_F(Registry, WritesMakeAMinimalFileAndValuesAtTheirDefaultGo) {
    EXPECT_TRUE(reg_write_number("nfsd", "Datasize", 8192, 8192));  // nothing to delete
    EXPECT_EQ(entries(), 0);
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 2050, 2049));
    EXPECT_EQ(file(), "REGEDIT4\n\n" + KEY + "\"Port\"=\"2050\"\n");
    // A value written at its default goes, and duplicates under any case
    // collapse into the one written.
    home.write("settings.reg",
               "REGEDIT4\n\n" + KEY +
                   "\"Port\"=\"1\"\n\"x\"=\"y\"\n\"PORT\"=\"2\"\n\"Datasize\"=\"16384\"\n");
    EXPECT_TRUE(reg_write_number("nfsd", "Datasize", 8192, 8192));
    EXPECT_TRUE(reg_write_number("nfsd", "port", 5, 2049));
    EXPECT_EQ(file(), "REGEDIT4\n\n" + KEY + "\"port\"=\"5\"\n\"x\"=\"y\"\n");
}

TEST_F(Registry, RewriteKeepsEverythingElseByteForByte) {
    std::string before =
        "REGEDIT4\r\n\r\n; hand-edited\r\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\r\n"
        "\"Log\"=\"2\"\r\nthis line means nothing\r\n\"Port\"=\"2050\"\r\n"
        "\"Bin\"=hex:01,\\\r\n  02\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\"Port\"=\"1\"\r\n";
    home.write("settings.reg", before);
    chmod(home.file("settings.reg").c_str(), 0640);
    // Replaced in place; the file's line ends are kept.
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 3000, 2049));
    std::string expect = before;
    expect.replace(expect.find("2050"), 4, "3000");
    EXPECT_EQ(file(), expect);
    // A new value goes to the end of its key, before the blank line.
    EXPECT_TRUE(reg_write_string("nfsd", "Directory", "/var/log/"));
    expect.insert(expect.find("\r\n\r\n[HKEY_CURRENT_USER") + 2, "\"Directory\"=\"/var/log/\"\r\n");
    EXPECT_EQ(file(), expect);
    // Deleting a multi-line value takes all of its lines.
    EXPECT_TRUE(reg_write_string("nfsd", "Bin", nullptr));
    expect.erase(expect.find("\"Bin\""), strlen("\"Bin\"=hex:01,\\\r\n  02\r\n"));
    EXPECT_EQ(file(), expect);
    // The rename kept the file's mode and left no temporary file behind.
    struct stat st;
    ASSERT_EQ(stat(home.file("settings.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(entries(), 1);
}

// An installed program directory links settings.reg to /etc: a write
// replaces the target and keeps the link; a link to nowhere is refused
// rather than replaced by a file.
TEST_F(Registry, AWriteThroughALinkReplacesItsTargetAndKeepsTheLink) {
    struct stat st;
    for (const char *target : {"etc.reg", "missing/etc.reg"}) {
        SCOPED_TRACE(target);
        bool dangling = target[0] == 'm';
        if (!dangling) home.write(target, "");
        unlink(home.file("settings.reg").c_str());
        ASSERT_EQ(symlink(home.file(target).c_str(), home.file("settings.reg").c_str()), 0);
        EXPECT_EQ(reg_write_number("nfsd", "Port", 2050, 2049), !dangling);
        ASSERT_EQ(lstat(home.file("settings.reg").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    EXPECT_EQ(home.read("etc.reg"), "REGEDIT4\n\n" + KEY + "\"Port\"=\"2050\"\n");
}

TEST_F(Registry, EscapesRoundTripAndLineBreaksAreRefused) {
    const char *texts[] = {"c:\\data\\", "\\\\\"\\", "", "a=\"b\"", "ends with backslash\\"};
    for (const char *text : texts)  // named after the text: the name needs escapes too
        ASSERT_TRUE(reg_write_string("nfsd", (std::string("V") + text).c_str(), text));
    for (const char *text : texts) EXPECT_EQ(read_str((std::string("V") + text).c_str()), text);
    // A line break would let a value inject lines into the file.
    EXPECT_FALSE(reg_write_string("nfsd", "Path", "x\"\n\"Port\"=\"1"));
    EXPECT_FALSE(reg_write_string("nfsd", "Pa\nth", "x"));
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    program_directory_set((home.path() + "missing").c_str());
    EXPECT_FALSE(reg_write_number("nfsd", "Port", 1, 2049)) << "no writable directory";
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    auto name = [](int t, int i) { return "T" + std::to_string(t) + "-" + std::to_string(i); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t, &name] {
            for (int i = 0; i < 25; i++) {
                EXPECT_TRUE(reg_write_number("nfsd", name(t, i).c_str(), i + 1, 0));
                reg_read_number("nfsd", name(t, i).c_str(), 0);
            }
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; t++)
        for (int i = 0; i < 25; i++)
            EXPECT_EQ(reg_read_number("nfsd", name(t, i).c_str(), 0), uint32_t(i + 1))
                << name(t, i);
}

struct Drives : public ::testing::Test {
    test_home home;
    std::string dir_c = home.file("c"), dir_e = home.file("e");
    void SetUp() override {
        mkdir(dir_c.c_str(), 0755);
        mkdir(dir_e.c_str(), 0755);
    }
    void TearDown() override {
        drive_set_remote(false);
        drive_reset();
    }
    void settings(const std::string &values) {
        home.write("settings.reg",
                   "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n" + values);
        drive_load();
    }
};

// Letters with their types and serials; a UNC root is a drive only while
// remote use is on.
TEST_F(Drives, LettersTypesSerialsAndUncRoots) {
    std::string values = "\"C\"=\"" + dir_c + "\"\n\"E\"=\"" + dir_e +
                         "\"\n\"E-Type\"=\"2\"\n\"E-Serial\"=\"4660\"\n" +
                         "\"\\\\\\\\srv\\\\share\"=\"" + dir_e + "\"\n";
    settings(values);
    EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_FIXED);
    EXPECT_EQ(win_get_drive_type("E:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(win_get_drive_type("d:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(volume_serial("e:\\"), 4660u);
    EXPECT_EQ(win_get_drive_type("\\\\srv\\share\\"), DRIVE_NO_ROOT_DIR);
    drive_set_remote(true);
    settings(values);
    EXPECT_EQ(win_get_drive_type("\\\\SRV\\Share"), DRIVE_REMOTE);
}

// A drive that stood in for some other directory would export what nobody
// asked for: no value, or a doubtful one, maps nothing and says why.
TEST_F(Drives, NoValueMapsNothingAndEachBadValueIsRefusedWithItsReason) {
    home.write("a-file", "x");
    const struct {
        std::string value;  // of "C"; none for the first row
        const char *reason;
    } cases[] = {
        {"", nullptr},
        {"\"C\"=\"relative/dir\"\n", "not an absolute path"},
        {"\"C\"=\"" + home.file("missing") + "\"\n", "no such directory"},
        {"\"C\"=\"" + home.file("a-file") + "\"\n", "not a directory"},
        {"\"C\"=\"\"\n", "empty value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        settings(c.value + "\"E\"=\"" + dir_e + "\"\n");
        EXPECT_EQ(win_get_drive_type("c:\\"), DRIVE_NO_ROOT_DIR);
        EXPECT_EQ(win_get_file_attributes("c:\\etc"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(win_get_drive_type("e:\\"), DRIVE_FIXED);  // a good value beside it still maps
        drive_problem problems[DRIVE_PROBLEMS_MAX];
        uint32_t n = drive_load_problems(problems, DRIVE_PROBLEMS_MAX);
        ASSERT_EQ(n, c.reason ? 1u : 0u);
        if (!c.reason) continue;
        EXPECT_STREQ(problems[0].name, "C");
        EXPECT_STREQ(problems[0].reason, c.reason);
    }
}

// A drive whose directory is gone has no medium; made again, it is a new one.
TEST(Volume, RecreatedDirectoryIsANewMedium) {
    temp_drive e('E', DRIVE_REMOVABLE);
    uint32_t s1 = volume_serial("e:\\");
    ASSERT_EQ(rmdir(e.dir().c_str()), 0);
    EXPECT_EQ(fails(volume_serial("e:\\") != 0), ERROR_NOT_READY);
    ASSERT_EQ(mkdir(e.dir().c_str(), 0755), 0);
    uint32_t s2 = volume_serial("e:\\");
    EXPECT_TRUE(s2 != 0 && s2 != s1) << s1 << " " << s2;
}

}  // namespace
