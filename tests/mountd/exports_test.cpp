// The exports file as people write it: what each line exports, what the
// log shows, and which problem lands in "ExpError"/"ExpLine".
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mountd/export.h"
#include "platform/drive.h"
#include "server/config.h"
#include "support/exports_env.h"

namespace {

const char *HEADER = "\n------ Exported file systems ------\n";
const char *FOOTER = "-----------------------------------\n\n";

std::string hex_id(const export_entry *e) {
    char id[16];
    snprintf(id, sizeof id, "%8.8x", e->export_id);
    return id;
}

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string clients_of(const export_entry *e) {
    std::string list;
    for (int i = 0; i < e->client_count; i++) list += (i ? " " : "") + dotted(e->clients[i]);
    return list;
}

class ExportsFile : public ::testing::Test {
   protected:
    exports_env env;
};

// ---- whole lines ---------------------------------------------------------

TEST_F(ExportsFile, WholeDriveReadOnlyForEveryClient) {
    std::string log = env.load("c:\\ -ro\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    export_entry *e = list[0];
    EXPECT_STREQ(e->path, "c:");
    char name[1024];
    export_name(e->path, name);
    EXPECT_STREQ(name, "/c");
    EXPECT_EQ(e->flags & (EXP_READONLY | EXP_PUBLIC | EXP_RANGE), (uint32_t)EXP_READONLY);
    EXPECT_EQ(e->client_count, 0);
    EXPECT_EQ(e->umask, 022u);
    EXPECT_EQ(e->drive_type, 3u);
    EXPECT_NE(e->root_inode, 0u);
    EXPECT_NE(e->volume_serial, 0u);
    EXPECT_GT(e->max_name, 12u);
    // "c:" shows as "c:\", padded to 12 characters.
    EXPECT_EQ(log, HEADER + hex_id(e) + " c:\\          -ro\n" + FOOTER);
    EXPECT_EQ(env.setting("ExpError"), 0xFFFFFFFFu);  // removed: no problem
    EXPECT_EQ(export_find(e->export_id), e);
    EXPECT_EQ(export_find(e->export_id + 1), nullptr);
}

TEST_F(ExportsFile, DriveLetterFollowsLowercaseSetting) {
    env.load("D:\\Data\n");
    ASSERT_EQ(env.entries().size(), 1u);
    EXPECT_STREQ(env.entries()[0]->path, "d:\\Data");
    config.lowercase = 0;
    env.load("D:\\Data\n");
    ASSERT_EQ(env.entries().size(), 1u);
    EXPECT_STREQ(env.entries()[0]->path, "D:\\Data");
}

TEST_F(ExportsFile, QuotedPathKeepsBlanksAndEqualsUnquoted) {
    env.load("\"c:\\Program Files\\Shared\" -ro\n");
    ASSERT_EQ(env.entries().size(), 1u);
    EXPECT_STREQ(env.entries()[0]->path, "c:\\Program Files\\Shared");
    EXPECT_TRUE(env.entries()[0]->flags & EXP_READONLY);

    // The quoted and the unquoted form are the same export.
    std::string log = env.load("c:\\data\nc:\"\\data\"\n");
    EXPECT_EQ(env.entries().size(), 1u);
    EXPECT_NE(log.find("mountd: duplicate exports line 2 ignored\n"), std::string::npos);
}

TEST_F(ExportsFile, ClientListContinuesButNeverBegins) {
    std::string log = env.load("c:\\data 10.0.0.1 10.0.0.2\n10.0.0.3 # more\n-ro\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(clients_of(list[0]), "10.0.0.1 10.0.0.2 10.0.0.3");
    EXPECT_FALSE(list[0]->flags & EXP_READONLY);
    EXPECT_NE(log.find("mountd: Line 3 ignored, expected drive\n"), std::string::npos);
    EXPECT_EQ(env.setting("ExpError"), 22u);
    EXPECT_EQ(env.setting("ExpLine"), 3u);

    log = env.load("c:\\data -ro\n10.0.0.1\n");
    list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->client_count, 0);
    EXPECT_NE(log.find("mountd: Line 2 ignored, expected drive\n"), std::string::npos);
    EXPECT_EQ(env.setting("ExpLine"), 2u);
}

TEST_F(ExportsFile, HostNamesAndListingOfClients) {
    std::string log = env.load("c:\\data localhost 192.168.1.5\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(clients_of(list[0]), "127.0.0.1 192.168.1.5");
    EXPECT_EQ(log, HEADER + hex_id(list[0]) + " c:\\data       127.0.0.1 192.168.1.5\n" + FOOTER);
}

TEST_F(ExportsFile, RangesArePairsAndALoneAddressIsARangeOfOne) {
    std::string log = env.load("c:\\data -range 10.0.0.1 10.0.0.50 10.0.0.99\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(clients_of(list[0]), "10.0.0.1 10.0.0.50 10.0.0.99 10.0.0.99");
    EXPECT_EQ(log, HEADER + hex_id(list[0]) +
                       " c:\\data      -range  10.0.0.1 10.0.0.50 10.0.0.99 10.0.0.99\n" + FOOTER);
}

TEST_F(ExportsFile, MoreThan128ClientsAreCut) {
    std::string line = "c:\\data";
    for (int i = 1; i <= 129; i++)
        line += " 10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    std::string log = env.load("# clients\n" + line + "\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->client_count, 128);
    EXPECT_EQ(dotted(list[0]->clients[127]), "10.0.0.128");
    EXPECT_NE(log.find("mountd: Line 2 truncated, too many clients\n"), std::string::npos);
    EXPECT_EQ(env.setting("ExpError"), 27u);
    EXPECT_EQ(env.setting("ExpLine"), 2u);

    // 128 exactly is no problem, with ranges as well.
    line = "c:\\data -range";
    for (int i = 1; i <= 128; i++) line += " 10.0.1." + std::to_string(i);
    env.load(line + "\n");
    ASSERT_EQ(env.entries().size(), 1u);
    EXPECT_EQ(env.entries()[0]->client_count, 128);
    EXPECT_EQ(env.setting("ExpError"), 0xFFFFFFFFu);
}

TEST_F(ExportsFile, RefusedLinesMakeNoEntry) {
    std::string log = env.load(
        "c:\\a\n"
        "\n"
        "c:\\b -ro -foo 10.0.0.1\n"
        "c:\\c no-such-host.invalid\n"
        "c:\\d 10.0.0.300\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->path, "c:\\a");
    EXPECT_NE(log.find("mountd: Line 3 ignored, unknown option: foo\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 4, invalid client: no-such-host.invalid\n"),
              std::string::npos);
    EXPECT_NE(log.find("mountd: Line 5, invalid client: 10.0.0.300\n"), std::string::npos);
    EXPECT_EQ(env.setting("ExpError"), 26u);
    EXPECT_EQ(env.setting("ExpLine"), 5u);
}

TEST_F(ExportsFile, DriveAndPathProblems) {
    std::string log = env.load(
        "-ro\n"             // 1: a line must begin with a drive
        "c: -ro\n"          // 2: no path
        "c:\n"              // 3: no path, the line end is the problem word
        "q:\\x\n"           // 4: no such drive
        "1:\\x\n"           // 5: a digit is no drive
        "\\\\srv\\share\n"  // 6: UNC without "Remote"
        "c:\\ok \\extra\n"  // 7: made, then the stray path word
        "d:\\ok\n");        // 8
    auto list = env.entries();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0]->path, "c:\\ok");
    EXPECT_STREQ(list[1]->path, "d:\\ok");
    EXPECT_NE(log.find("mountd: Line 1 ignored, expected drive\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 2 ignored, expected path\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 3 ignored, expected path\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 4 ignored, unsupported drive type\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 5 ignored, expected drive\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 6 ignored, expected drive\n"), std::string::npos);
    // The entry of line 7 is listed before its stray word is reported.
    size_t made = log.find(" c:\\ok");
    size_t stray = log.find("mountd: Line 7 ignored, expected drive\n");
    ASSERT_NE(made, std::string::npos);
    ASSERT_NE(stray, std::string::npos);
    EXPECT_LT(made, stray);
    EXPECT_EQ(env.setting("ExpLine"), 7u);
}

TEST_F(ExportsFile, NetworkShareWithRemote) {
    config.remote = 1;
    drive_map("\\\\srv\\share", env.drive_dir('d').c_str(), 4, 77);
    std::string log = env.load("\\\\srv\\share -ro\n\\\\a\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->path, "\\\\srv\\share");
    EXPECT_EQ(list[0]->drive_type, 4u);
    EXPECT_EQ(list[0]->volume_serial, 77u);
    char name[1024];
    export_name(list[0]->path, name);
    EXPECT_STREQ(name, "//srv/share");
    EXPECT_NE(log.find("mountd: Line 2 ignored, expected path\n"), std::string::npos);
}

TEST_F(ExportsFile, Utf8ClientsGetConvertedPathAndAlias) {
    config.charset = 2;
    config.codepage = 1252;
    env.load("c:\\caf\xe9 -name:r\xe9sum\xe9\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_STREQ(e[0]->path, "c:\\caf\xc3\xa9");
    ASSERT_NE(e[0]->name, nullptr);
    EXPECT_STREQ(e[0]->name, "/r\xc3\xa9sum\xc3\xa9");
}

TEST_F(ExportsFile, DriveWithoutMediumIsStillExported) {
    drive_map("E", env.home.file("no-medium").c_str(), 2, 0);
    env.load("e:\\ -ro\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0]->drive_type, 2u);
    EXPECT_EQ(e[0]->volume_serial, 0u);
    EXPECT_EQ(e[0]->max_name, 0u);
}

// ---- options -----------------------------------------------------------------

TEST_F(ExportsFile, OptionValues) {
    env.load(
        "c:\\a -mapall:1000:100\n"
        "c:\\b -mapall:1000,100\n"
        "c:\\c -umask:027\n"
        "c:\\d -umask:0777\n"
        "c:\\e -umask:0x12 -umask:abc\n"
        "c:\\f -maproot:0\n"
        "c:\\g -maproot:0:0\n"
        "c:\\h -maproot:-2:-1\n"
        "c:\\i -webnfs\n"
        "c:\\j -readonly -alldirs -lowercase -public\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(e[0]->flags & (EXP_MAPALL_UID | EXP_MAPALL_GID),
              (uint32_t)(EXP_MAPALL_UID | EXP_MAPALL_GID));
    EXPECT_EQ(e[0]->mapall_uid, 1000u);
    EXPECT_EQ(e[0]->mapall_gid, 100u);
    EXPECT_EQ(e[1]->flags & (EXP_MAPALL_UID | EXP_MAPALL_GID), (uint32_t)EXP_MAPALL_UID);
    EXPECT_EQ(e[1]->mapall_uid, 1000u);
    EXPECT_EQ(e[2]->umask, 027u);
    EXPECT_TRUE(e[2]->flags & EXP_UMASK);
    EXPECT_EQ(e[3]->umask, 077u);
    EXPECT_EQ(e[4]->umask, 022u);  // 0x12; the unreadable second one is ignored
    EXPECT_EQ(e[5]->flags & (EXP_MAPROOT_UID | EXP_MAPROOT_GID), (uint32_t)EXP_MAPROOT_UID);
    EXPECT_EQ(e[5]->maproot_uid, 0u);
    EXPECT_EQ(e[6]->flags & (EXP_MAPROOT_UID | EXP_MAPROOT_GID),
              (uint32_t)(EXP_MAPROOT_UID | EXP_MAPROOT_GID));
    EXPECT_EQ(e[7]->maproot_uid, 65534u);
    EXPECT_EQ(e[7]->maproot_gid, 65535u);
    EXPECT_EQ(e[8]->flags & (EXP_READONLY | EXP_PUBLIC | EXP_MAPALL_UID | EXP_MAPALL_GID),
              (uint32_t)(EXP_READONLY | EXP_PUBLIC | EXP_MAPALL_UID));
    EXPECT_EQ(e[8]->mapall_uid, 65534u);
    EXPECT_EQ(e[8]->mapall_gid, 65534u);
    EXPECT_EQ(e[9]->flags & (EXP_READONLY | EXP_ALLDIRS | EXP_LOWERCASE | EXP_PUBLIC),
              (uint32_t)(EXP_READONLY | EXP_ALLDIRS | EXP_LOWERCASE | EXP_PUBLIC));
    EXPECT_TRUE(export_public_seen);
}

TEST_F(ExportsFile, ListingShowsEveryOption) {
    std::string log = env.load(
        "c:\\a -name:x -ro -lowercase -public -alldirs -umask:027 -maproot:0:0 "
        "-mapall:1000:100 -range 10.0.0.1\n");
    auto list = env.entries();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(log, HEADER + hex_id(list[0]) +
                       " c:\\a         -name:x -ro -lowercase -public -alldirs -umask:027"
                       " -maproot:0:0 -mapall:1000:100 -range  10.0.0.1 10.0.0.1\n" +
                       FOOTER);
}

TEST_F(ExportsFile, PublicSeenEvenOnAnIgnoredLine) {
    env.load("c:\\a -public -foo\n");
    EXPECT_TRUE(env.entries().empty());
    EXPECT_TRUE(export_public_seen);
    env.load("c:\\a\n");
    EXPECT_FALSE(export_public_seen);
}

TEST_F(ExportsFile, NameForms) {
    env.load("c:\\a -name:/data\nc:\\b -name:c:\\data\nc:\\c -name:data\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0]->name, nullptr);
    EXPECT_EQ(e[1]->name, nullptr);
    ASSERT_NE(e[2]->name, nullptr);
    EXPECT_STREQ(e[2]->name, "/data");
    EXPECT_EQ(env.setting("ExpError"), 0xFFFFFFFFu);
}

TEST_F(ExportsFile, UmaskValueAndNameDoNotMakeAnotherExport) {
    // The umask value and the alias are not part of the export id (the
    // -umask flag is, as every flag is).
    std::string log =
        env.load("c:\\data -umask:027\nc:\\data -umask:077\nc:\\data -ro\nc:\\data -ro -name:x\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0]->umask, 027u);
    EXPECT_TRUE(e[1]->flags & EXP_READONLY);
    EXPECT_EQ(e[1]->name, nullptr);
    EXPECT_NE(log.find("mountd: duplicate exports line 2 ignored\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: duplicate exports line 4 ignored\n"), std::string::npos);
    EXPECT_EQ(env.setting("ExpError"), 0xFFFFFFFFu);
}

// ---- several exports, the limit, no file --------------------------------------------

TEST_F(ExportsFile, SeveralExportsOnOneLineOrOnSeveral) {
    env.load("c:\\\nd:\\\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_STREQ(e[0]->path, "c:");
    EXPECT_STREQ(e[1]->path, "d:");

    env.load("c:\\a d:\\b -ro\n");
    e = env.entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_STREQ(e[0]->path, "c:\\a");
    EXPECT_FALSE(e[0]->flags & EXP_READONLY);
    EXPECT_STREQ(e[1]->path, "d:\\b");
    EXPECT_TRUE(e[1]->flags & EXP_READONLY);
}

TEST_F(ExportsFile, At128EntriesTheRestIsNotRead) {
    std::string text;
    for (int i = 0; i < 129; i++) text += "c:\\dir" + std::to_string(i) + "\n";
    text += "-bad line\n";
    std::string log = env.load(text);
    auto e = env.entries();
    ASSERT_EQ(e.size(), 128u);
    EXPECT_STREQ(e[127]->path, "c:\\dir127");
    EXPECT_EQ(log.find("dir128"), std::string::npos);
    EXPECT_EQ(env.setting("ExpError"), 0xFFFFFFFFu);
    EXPECT_NE(log.find(FOOTER), std::string::npos);
}

TEST_F(ExportsFile, MissingFile) {
    env.load("c:\\a -foo\n");
    EXPECT_EQ(env.setting("ExpError"), 25u);
    remove(env.home.file("exports").c_str());
    env.log();
    exports_read();
    EXPECT_EQ(env.log(), "mountd: Cannot open exports file\n");
    EXPECT_EQ(env.setting("ExpError"), 21u);
    EXPECT_EQ(env.setting("ExpLine"), 0xFFFFFFFFu);
    EXPECT_EQ(export_list, nullptr);
    char path[EXPORT_PATH_BUFFER] = "/c";
    export_entry *entry = nullptr;
    EXPECT_EQ(export_check(path, htonl(0x0A000001), &entry), EXPORT_NOENT);
}

// ---- words ------------------------------------------------------------------------------

TEST_F(ExportsFile, CommentsCarriageReturnsAndLineCount) {
    std::string log = env.load("# exports\r\n  c:\\a\t-ro # read-only\r\n\r\n-x\r\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_STREQ(e[0]->path, "c:\\a");  // no carriage return in the path
    EXPECT_NE(log.find("mountd: Line 4 ignored, expected drive\n"), std::string::npos);
}

TEST_F(ExportsFile, QuoteLeftOpenEndsAtTheLineEnd) {
    env.load("c:\\a \"\nd:\\b -ro\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_STREQ(e[1]->path, "d:\\b");
    EXPECT_TRUE(e[1]->flags & EXP_READONLY);
}

TEST_F(ExportsFile, OverlongWordsAreRefusedNotCut) {
    // A cut path would export its parent directory; a cut option its prefix.
    std::string path(1021, 'p');
    std::string log = env.load("c:\\" + path + "\nc:\\a -name:" + std::string(1100, 'n') +
                               "\nc:\\" + path.substr(0, 1020) + "\n");
    auto e = env.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(strlen(e[0]->path), 1023u);
    EXPECT_NE(log.find("mountd: Line 1 ignored, expected path\n"), std::string::npos);
    EXPECT_NE(log.find("mountd: Line 2 ignored, unknown option: name:nnn"), std::string::npos);
}

TEST_F(ExportsFile, NulByteInAPathRefusesTheLine) {
    std::string text = "c:\\data";
    text += '\0';
    text += "x\nd:\\ok\n";
    std::string log = env.load(text);
    auto e = env.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_STREQ(e[0]->path, "d:\\ok");
    EXPECT_NE(log.find("mountd: Line 1 ignored, expected path\n"), std::string::npos);
}

}  // namespace
