// The log file: its banner, when it is off, writers racing a close, and
// floods cut short.
#include "base/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/config.h"
#include "support/home.h"

namespace {

// 2026-12-05 17:40:48, local time (fields from seconds up to years since 1900).
time_t local_test_time() {
    tm t{};
    std::tie(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_isdst) =
        std::tuple(126, 11, 5, 17, 40, 48, -1);
    return mktime(&t);
}
const time_t NOW = local_test_time();

// The log's text with plain line ends: it is a text file, so on Windows
// each line ends in CR LF, as the host's editors expect; a stream read in
// text mode drops the CR.
std::string log_text(const test_home &home) {
    std::ifstream in(home.path() + "nfsd2612.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogTest : public ::testing::Test {
   protected:
    void SetUp() override {
        config = nfsd_config{};
        snprintf(config.directory, sizeof config.directory, "%s", home.path().c_str());
        log_test_clock(NOW);
    }
    void TearDown() override {
        log_close();
        log_test_clock(0);
    }
    test_home home;
};

}  // namespace

TEST_F(LogTest, LevelsDecideTheBannerAndTheLines) {
    // Level 0, or a folder that is not there (which switches logging off),
    // opens nothing and creates nothing on the way.
    config.log = 0;
    EXPECT_EQ(log_open(), nullptr);
    config.log = 3;
    snprintf(config.directory, sizeof config.directory, "%snowhere/", home.path().c_str());
    EXPECT_EQ(log_open(), nullptr);
    EXPECT_EQ(config.log, 0);
    log_printf(1, "nfsd: dropped\n");
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));

    snprintf(config.directory, sizeof config.directory, "%s", home.path().c_str());
    config.log = 2;
    ASSERT_NE(log_open(), nullptr);
    log_printf(1, "a %d\n", 1);
    log_printf(2, "b %s\n", "two");
    log_printf(3, "c\n");
    log_close();
    log_printf(1, "after close\n");
    EXPECT_EQ(log_text(home),
              "\n2026-12-05 17:40:48 Nimbora NFS Server log started\na 1\nb two\n");
    // A month later the log is another file, named by year and month.
    log_test_clock(NOW + 31 * 24 * 3600);
    ASSERT_NE(log_open(), nullptr);
    log_close();
    EXPECT_TRUE(std::filesystem::exists(home.path() + "nfsd2701.log"));
}

// Writers racing close, open and flush (TSan shows any unlocked access).
TEST_F(LogTest, CloseAndFlushWhileWritingAreSafe) {
    config.log = 1;
    ASSERT_NE(log_open(), nullptr);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) log_printf(1, "nfsd: busy\n");
    });
    for (int i = 0; i < 20; i++) {
        log_flush();
        log_close();
        ASSERT_NE(log_open(), nullptr);
    }
    stop = true;
    writer.join();
}

TEST_F(LogTest, AFloodOfOneKindIsCutAndCounted) {
    config.log = 1;
    ASSERT_NE(log_open(), nullptr);
    config.log = LOG_FULL_DETAIL;
    for (int i = 0; i < 1000; i++) log_printf(1, "rpc: garbage %d\n", i);
    log_printf(1, "nfsd: another kind\n");
    for (int i = 0; i < 300; i++) log_printf(LOG_FULL_DETAIL, "detail %d\n", i);
    log_test_clock(NOW + 61);  // the minute is over
    log_printf(1, "nfsd: later\n");
    log_printf(1, "rpc: garbage %d\n", 1000);
    for (int i = 0; i < 250; i++) log_printf(1, "rpc: garbage %d\n", i);
    log_close();
    std::istringstream in(log_text(home));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 200u + 1 + 300 + 1 + 1 + 1 + 199 + 1);
    EXPECT_EQ(lines[199], "rpc: garbage 199");
    EXPECT_EQ(lines[200], "nfsd: another kind");
    EXPECT_EQ(lines[500], "detail 299") << "detail lines are never cut";
    EXPECT_EQ(lines[501], "log: 800 lines like \"rpc: garbage %d\" left out");
    EXPECT_EQ(lines[502], "nfsd: later");
    EXPECT_EQ(lines[503], "rpc: garbage 1000");
    EXPECT_EQ(lines.back(), "log: 51 lines like \"rpc: garbage %d\" left out") << "at close";
}
