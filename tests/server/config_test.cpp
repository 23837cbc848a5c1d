// Loading the configuration record from settings.reg.
#include "server/config.h"

#include <gtest/gtest.h>

#include <string>

#include "support/home.h"

namespace {

void load_with(const test_home &home, const std::string &values) {
    home.write("settings.reg",
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n" + values);
    config = nfsd_config{};
    config_load("nfsd");
}

}  // namespace

TEST(ConfigLoad, NumbersAreScannedAndCutToTheirField) {
    test_home home;
    load_with(home,
              "\"Port\"=\"70000\"\n\"Mount-Port\"=\" 1059 \"\n\"Threads\"=\"abc\"\n"
              "\"Log\"=\"4294967295\"\n\"Cache\"=\"-3\"\n\"CodePage\"=\"0\"\n");
    EXPECT_EQ(config.port, 4464);  // 70000 mod 65536
    EXPECT_EQ(config.mount_port, 1059);
    EXPECT_EQ(config.threads, 4u);
    EXPECT_EQ(config.log, -1);
    EXPECT_EQ(config.cache, -3);
    EXPECT_EQ(config.codepage, 0u);  // the host layer maps 0 to its default
    load_with(home, "\"Threads\"=\" 7\"\n\"Port\"=dword:00000801\n");
    EXPECT_EQ(config.threads, 7u);
    EXPECT_EQ(config.port, 2049);  // a dword is raw bytes: the default
}

TEST(ConfigLoad, DerivedDefaultsUseTheValuesReadBefore) {
    test_home home;
    load_with(home, "\"Datasize\"=\"32768\"\n\"Threads\"=\"2\"\n\"TCP\"=\"0\"\n");
    EXPECT_EQ(config.max_read, 32768u);
    EXPECT_EQ(config.max_write, 32768u);
    EXPECT_EQ(config.so_rcvbuf, (32768u + 64) * 2);
    EXPECT_EQ(config.mount_tcp, 0u);  // no TCP for NFS: none for MOUNT either
    load_with(home, "\"TCP\"=\"0\"\n\"Mount-TCP\"=\"1\"\n\"SO_Rcvbuf\"=\"1000\"\n");
    EXPECT_EQ(config.mount_tcp, 1u);
    EXPECT_EQ(config.so_rcvbuf, 1000u);
}

TEST(ConfigLoad, DirectoryFallsBackToTheProgramDirectory) {
    test_home home;
    load_with(home, "\"Directory\"=\"/var/log/nimbora/\"\n");
    EXPECT_STREQ(config.directory, "/var/log/nimbora/");
    // The log name is joined to the folder, so the folder gets its separator.
    load_with(home, "\"Directory\"=\"/var/log\"\n");
    EXPECT_STREQ(config.directory, "/var/log/");
    load_with(home, "\"Directory\"=\"\"\n");
    EXPECT_EQ(std::string(config.directory), home.path());
    // Longer than the 260 bytes of the field: unreadable, so the default.
    load_with(home, "\"Directory\"=\"/" + std::string(270, 'x') + "/\"\n");
    EXPECT_EQ(std::string(config.directory), home.path());
}
