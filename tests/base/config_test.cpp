// Loading the configuration record from settings.reg.
#include "base/config.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/home.h"

namespace {

void load_with(const test_home &home, const std::string &values) {
    home.write("settings.reg",
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n" + values);
    config = nfsd_config{};
    config_load("nfsd");
}

// Numbers are the store's (tested there); what matters here is that each
// lands in its own field, that derived defaults follow the values read, and
// that the directory gets its separator or falls back to the program's.
TEST(ConfigLoad, FieldsDerivedDefaultsAndTheDirectory) {
    test_home home;
    load_with(home, "\"Mount-Port\"=\" 1059 \"\n\"Threads\"=\"abc\"\n\"Cache\"=\"-3\"\n"
                    "\"SO_Rcvbuf\"=\"1000\"\n");
    EXPECT_EQ(std::tuple(config.mount_port, config.threads, config.cache, config.so_rcvbuf),
              std::tuple(uint16_t(1059), 4u, -3, 1000u));
    load_with(home, "\"Datasize\"=\"32768\"\n\"Threads\"=\"2\"\n\"TCP\"=\"0\"\n");
    EXPECT_EQ(std::tuple(config.max_read, config.max_write, config.so_rcvbuf),
              std::tuple(32768u, 32768u, (32768u + 64) * 2));
    load_with(home, "\"Directory\"=\"/var/log\"\n");  // the log name is joined to it
    EXPECT_STREQ(config.directory, "/var/log/");
    // Longer than the 260 bytes of the field: unreadable, so the default.
    load_with(home, "\"Directory\"=\"/" + std::string(270, 'x') + "/\"\n");
    EXPECT_EQ(std::string(config.directory), home.path());
}

}  // namespace
