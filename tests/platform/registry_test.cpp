// The settings store: what a reader gets from a settings.reg file, and what a
// write leaves on disk.
#include "platform/registry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/home.h"

namespace {

const std::string KEY = "[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n";

std::string read_str(const char *name, const char *def = "dflt", uint32_t size = 64) {
    std::vector<char> buf(size);
    uint32_t n = reg_read_string("nfsd", name, def, buf.data(), size);
    EXPECT_EQ(n, strlen(buf.data())) << name;
    return buf.data();
}

// Every test gets a fresh program directory; values() writes settings.reg
// with `text` below the server's key.
struct Registry : public ::testing::Test {
    test_home home;
    void values(const std::string &text) {
        home.write("settings.reg", "REGEDIT4\n\n" + KEY + text);
    }
};
using RegistryRead = Registry;
using RegistryWrite = Registry;
using RegistryEnum = Registry;
using RegistryUser = Registry;

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    if (d) closedir(d);
    return names;
}

}  // namespace

// ---- reading -------------------------------------------------------------

TEST_F(RegistryRead, MissingFileAndMissingKeyGiveTheDefault) {
    EXPECT_EQ(read_str("Port"), "dflt");
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    home.write("settings.reg",
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\other]\n"
               "\"Port\"=\"7\"\n");
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    EXPECT_EQ(reg_read_number("other", "Port", 2049), 7u);
    EXPECT_TRUE(dir_entries(home.path()) == std::vector<std::string>{"settings.reg"});
}

TEST_F(RegistryRead, NumbersScanLikePercentU) {
    values(
        "\"Abc\"=\"abc\"\n\"Blank\"=\" 7\"\n\"Tail\"=\"12abc\"\n\"Empty\"=\"\"\n\"Big\"=\"70000\"\n"
        "\"Long\"=\"" +
        std::string(63, '1') + "\"\n\"TooLong\"=\"" + std::string(64, '1') + "\"\n");
    EXPECT_EQ(reg_read_number("nfsd", "Abc", 4), 4u);
    EXPECT_EQ(reg_read_number("nfsd", "Blank", 4), 7u);
    EXPECT_EQ(reg_read_number("nfsd", "Tail", 4), 12u);
    EXPECT_EQ(reg_read_number("nfsd", "Empty", 4), 4u);
    EXPECT_EQ(reg_read_number("nfsd", "Big", 4), 70000u);
    // 63 characters still fit the 64-byte buffer (the scan overflows, as %u does);
    // 64 do not, and an unreadable value is the default.
    EXPECT_NE(reg_read_number("nfsd", "Long", 4), 4u);
    EXPECT_EQ(reg_read_number("nfsd", "TooLong", 4), 4u);
}

TEST_F(RegistryRead, NamesAndKeysIgnoreCaseAndTheLastDefinitionWins) {
    home.write("settings.reg",
               "REGEDIT4\n\n[hkey_local_machine\\software\\nimbora\\NFSD]\n"
               "\"threads\"=\"2\"\n\n" +
                   KEY + "\"THREADS\"=\"9\"\n");
    EXPECT_EQ(reg_read_number("nfsd", "Threads", 4), 9u);
}

TEST_F(RegistryRead, StringsUndoTheirEscapesAndStopAtTheBuffer) {
    values(
        "\"Path\"=\"c:\\\\data\\\\\"\n"
        "\"Quote\"=\"say \\\"hi\\\"\"\n"
        "\"\\\\\\\\server\\\\share\"=\"/mnt/share\"\n"
        "@=\"the default value\"\n");
    EXPECT_EQ(read_str("Path"), "c:\\data\\");
    EXPECT_EQ(read_str("Quote"), "say \"hi\"");
    EXPECT_EQ(read_str("\\\\server\\share"), "/mnt/share");
    EXPECT_EQ(read_str(""), "the default value");
    // "c:\data\" needs 9 bytes with its terminator: 8 is too small, so the default.
    EXPECT_EQ(read_str("Path", "d", 9), "c:\\data\\");
    EXPECT_EQ(read_str("Path", "d", 8), "d");
    // A default longer than the buffer is cut, never overrun.
    EXPECT_EQ(read_str("Missing", "0123456789", 4), "012");
}

TEST_F(RegistryRead, OtherTypesAreRawBytes) {
    values(
        "\"Dword\"=dword:00000007\n"
        "\"Digit\"=dword:00000037\n"
        "\"Hex\"=hex:41,42,\\\n"
        "  43,44\n"
        "\"After\"=\"still read\"\n");
    char buf[64];
    ASSERT_EQ(reg_read_string("nfsd", "Dword", "", buf, sizeof buf), 4u);
    EXPECT_EQ(std::string(buf, 4), std::string("\x07\0\0\0", 4));
    // As a rule a number stored in another type gives the default...
    EXPECT_EQ(reg_read_number("nfsd", "Dword", 5), 5u);
    // ...unless its first byte happens to be a digit: 0x37 is '7'.
    EXPECT_EQ(reg_read_number("nfsd", "Digit", 5), 7u);
    ASSERT_EQ(reg_read_string("nfsd", "Hex", "", buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "ABCD");
    EXPECT_EQ(read_str("After"), "still read");
}

TEST_F(RegistryRead, GarbageNeverCrashesAndGoodLinesStillCount) {
    std::string junk =
        "\x01\x02\xff\0\0[[[\n\"unterminated=\"x\n\"Port\"=garbage\n"
        "\"Port\"=\"open\n\"Port\"=hex:zz\n\"Port\"=dword:123456789\n=\n@\n";
    junk.push_back('\0');
    home.write("settings.reg", junk + "\n" + KEY + "\"Threads\"=\"3\"\n\"Port\"=\"bad\"x\n[\n]\n");
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    EXPECT_EQ(reg_read_number("nfsd", "Threads", 4), 3u);
    // A file of random bytes.
    std::string noise;
    unsigned seed = 12345;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245 + 12345;
        noise.push_back(static_cast<char>(seed >> 16));
    }
    home.write("settings.reg", noise);
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 2050, 2049));
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2050u);
    std::string after = home.read("settings.reg");
    EXPECT_EQ(after.substr(0, noise.size()), noise);
}

// ---- writing -------------------------------------------------------------

TEST_F(RegistryWrite, FirstWriteCreatesAnExportStyleFile) {
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 2050, 2049));
    EXPECT_TRUE(reg_write_string("nfsd\\Drives", "C", "/srv"));
    EXPECT_EQ(home.read("settings.reg"),
              "REGEDIT4\n\n" + KEY +
                  "\"Port\"=\"2050\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n\"C\"=\"/srv\"\n");
    char buf[16];
    reg_read_string("nfsd\\Drives", "C", "", buf, sizeof buf);
    EXPECT_STREQ(buf, "/srv");
}

TEST_F(RegistryWrite, ValueEqualToItsDefaultIsRemoved) {
    // Nothing to delete: no file appears.
    EXPECT_TRUE(reg_write_number("nfsd", "Datasize", 8192, 8192));
    EXPECT_TRUE(dir_entries(home.path()).empty());
    EXPECT_TRUE(reg_write_number("nfsd", "Datasize", 16384, 8192));
    EXPECT_TRUE(reg_write_number("nfsd", "Threads", 2, 4));
    EXPECT_EQ(reg_read_number("nfsd", "Datasize", 8192), 16384u);
    EXPECT_TRUE(reg_write_number("nfsd", "Datasize", 8192, 8192));
    EXPECT_EQ(home.read("settings.reg"), "REGEDIT4\n\n" + KEY + "\"Threads\"=\"2\"\n");
    EXPECT_TRUE(reg_write_string("nfsd", "Threads", nullptr));
    EXPECT_EQ(home.read("settings.reg"), "REGEDIT4\n\n" + KEY);
}

TEST_F(RegistryWrite, RewriteKeepsEverythingElseByteForByte) {
    std::string before = "REGEDIT4\r\n\r\n; hand-edited\r\n" +
                         std::string(
                             "[HKEY_LOCAL_MACHINE\\"
                             "Software\\Nimbora\\nfsd]\r\n") +
                         "\"Log\"=\"2\"\r\n"
                         "this line means nothing\r\n"
                         "\"Port\"=\"2050\"\r\n"
                         "\"Bin\"=hex:01,\\\r\n  02\r\n"
                         "\r\n[HKEY_CURRENT_USER\\Other]\r\n\"Port\"=\"1\"\r\n";
    home.write("settings.reg", before);
    struct stat st;
    chmod(home.file("settings.reg").c_str(), 0640);
    // Replaced in place; the file's line ends are kept.
    EXPECT_TRUE(reg_write_number("nfsd", "Port", 3000, 2049));
    std::string expect = before;
    expect.replace(expect.find("2050"), 4, "3000");
    EXPECT_EQ(home.read("settings.reg"), expect);
    // A new value goes to the end of its key, before the blank line.
    EXPECT_TRUE(reg_write_string("nfsd", "Directory", "/var/log/"));
    expect.insert(expect.find("\r\n\r\n[HKEY_CURRENT_USER") + 2, "\"Directory\"=\"/var/log/\"\r\n");
    EXPECT_EQ(home.read("settings.reg"), expect);
    // Deleting a multi-line value takes all of its lines.
    EXPECT_TRUE(reg_write_string("nfsd", "Bin", nullptr));
    expect.erase(expect.find("\"Bin\""), strlen("\"Bin\"=hex:01,\\\r\n  02\r\n"));
    EXPECT_EQ(home.read("settings.reg"), expect);
    // The rename kept the file's mode and left no temporary file behind.
    ASSERT_EQ(stat(home.file("settings.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(dir_entries(home.path()) == std::vector<std::string>{"settings.reg"});
}

TEST_F(RegistryWrite, DuplicatesCollapseIntoOneValue) {
    values("\"Port\"=\"1\"\n\"x\"=\"y\"\n\"PORT\"=\"2\"\n");
    EXPECT_TRUE(reg_write_number("nfsd", "port", 5, 2049));
    EXPECT_EQ(home.read("settings.reg"), "REGEDIT4\n\n" + KEY + "\"port\"=\"5\"\n\"x\"=\"y\"\n");
}

TEST_F(RegistryWrite, EscapesRoundTrip) {
    const char *texts[] = {"c:\\data\\",
                           "\"quoted\"",
                           "\\\\\"\\",
                           "",
                           "tab\there",
                           "a=\"b\"",
                           "\xc3\xa4\xc3\xb6 utf-8",
                           "ends with backslash\\"};
    int i = 0;
    for (const char *t : texts) {
        std::string name = "V" + std::to_string(i++) + "\\\"";
        ASSERT_TRUE(reg_write_string("nfsd", name.c_str(), t));
        char buf[64];
        reg_read_string("nfsd", name.c_str(), "default", buf, sizeof buf);
        EXPECT_STREQ(buf, t);
    }
    // The values before it survive each rewrite.
    char buf[64];
    reg_read_string("nfsd", "V0\\\"", "", buf, sizeof buf);
    EXPECT_STREQ(buf, "c:\\data\\");
}

TEST_F(RegistryWrite, LineBreaksAreRefused) {
    // A line break would let a value inject lines into the file.
    EXPECT_FALSE(reg_write_string("nfsd", "Path", "x\"\n\"Port\"=\"1"));
    EXPECT_FALSE(reg_write_string("nfsd", "Pa\nth", "x"));
    EXPECT_EQ(reg_read_number("nfsd", "Port", 2049), 2049u);
    EXPECT_TRUE(dir_entries(home.path()).empty());
}

TEST_F(RegistryWrite, FailsWithoutAWritableProgramDirectory) {
    program_directory_set((home.path() + "missing").c_str());
    EXPECT_FALSE(reg_write_number("nfsd", "Port", 1, 2049));
    program_directory_set(home.path().c_str());
}

TEST_F(RegistryWrite, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 25; i++) {
                std::string name = "T" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_TRUE(reg_write_number("nfsd", name.c_str(), i + 1, 0));
                reg_read_number("nfsd", name.c_str(), 0);
            }
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; t++)
        for (int i = 0; i < 25; i++) {
            std::string name = "T" + std::to_string(t) + "-" + std::to_string(i);
            EXPECT_EQ(reg_read_number("nfsd", name.c_str(), 0), uint32_t(i + 1)) << name;
        }
}

TEST_F(RegistryEnum, ListsTheStringValuesOfOneKey) {
    home.write("settings.reg",
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n"
               "\"C\"=\"/srv\"\n\"E-Type\"=dword:00000002\n\"E\"=\"/media\"\n"
               "\"c\"=\"/data\"\n\n" +
                   KEY + "\"Port\"=\"1\"\n");
    std::vector<std::pair<std::string, std::string>> seen;
    uint32_t n = reg_enum_strings(
        "nfsd\\Drives",
        [](const char *name, const char *text, void *ctx) {
            static_cast<decltype(seen) *>(ctx)->emplace_back(name, text);
        },
        &seen);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("c"), std::string("/data")));
    EXPECT_EQ(seen[1], std::make_pair(std::string("E"), std::string("/media")));
    EXPECT_EQ(reg_enum_strings(
                  "nfsd\\None", [](const char *, const char *, void *) {}, nullptr),
              0u);
}

// ---- per-user store and program directory --------------------------------

TEST_F(RegistryUser, LanguageLivesInTheUserConfigFolder) {
    char buf[33];
    EXPECT_EQ(reg_read_user_string("nfsd", "Language", "English", buf, sizeof buf), 7u);
    EXPECT_TRUE(reg_write_user_string("nfsd", "Language", "Deutsch"));
    EXPECT_EQ(
        home.read("config/nimbora/settings.reg"),
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Nimbora\\nfsd]\n\"Language\"=\"Deutsch\"\n");
    reg_read_user_string("nfsd", "Language", "English", buf, sizeof buf);
    EXPECT_STREQ(buf, "Deutsch");
    // The machine store is a different file.
    EXPECT_EQ(read_str("Language"), "dflt");
}

TEST(ProgramDirectory, EndsInASlashAndFollowsTheHomeSetting) {
    char buf[4096];
    uint32_t n = program_directory(buf, sizeof buf);
    ASSERT_GT(n, 1u);
    EXPECT_EQ(buf[0], '/');
    EXPECT_EQ(buf[n - 1], '/');
    std::string exe_dir = buf;
    {
        test_home home;
        EXPECT_EQ(program_directory(buf, sizeof buf), home.path().size());
        EXPECT_EQ(buf, home.path());
        // A relative home is taken against the current directory.
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        ASSERT_EQ(chdir(home.path().c_str()), 0);
        mkdir("sub", 0755);
        program_directory_set("sub");
        program_directory(buf, sizeof buf);
        EXPECT_EQ(buf, home.path() + "sub/");
        ASSERT_EQ(chdir(cwd), 0);
        // Too small a buffer gives nothing rather than a cut path.
        EXPECT_EQ(program_directory(buf, 4), 0u);
        EXPECT_STREQ(buf, "");
    }
    program_directory(buf, sizeof buf);
    EXPECT_EQ(buf, exe_dir);
}
