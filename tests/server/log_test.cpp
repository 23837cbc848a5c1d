// The log file: its name, its banner, when it is off, and whole lines.
#include "server/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/config.h"
#include "support/home.h"

namespace {

time_t local_time(int year, int month, int day, int hour, int min, int sec) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

// "YYYY-MM-DD HH:MM:SS" and nothing else.
bool is_stamp(const std::string &s) {
    const char *shape = "dddd-dd-dd dd:dd:dd";
    if (s.size() != strlen(shape)) return false;
    for (size_t i = 0; i < s.size(); i++)
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i])
            return false;
    return true;
}

class LogTest : public ::testing::Test {
   protected:
    void SetUp() override {
        config = nfsd_config{};
        snprintf(config.directory, sizeof config.directory, "%s", home.path().c_str());
    }
    void TearDown() override {
        log_close();
        log_test_clock(0);
    }
    test_home home;
};

}  // namespace

TEST_F(LogTest, OneFilePerMonthAppendedAcrossStarts) {
    config.log = 1;
    log_test_clock(local_time(2026, 1, 31, 23, 59, 0));
    ASSERT_NE(log_open(), nullptr);
    log_printf(1, "nfsd: first start\n");
    log_close();
    log_test_clock(local_time(2026, 1, 31, 23, 59, 30));
    ASSERT_NE(log_open(), nullptr);
    log_printf(1, "nfsd: second start\n");
    log_close();
    log_test_clock(local_time(2026, 2, 1, 0, 0, 1));
    ASSERT_NE(log_open(), nullptr);
    log_printf(1, "nfsd: next month\n");
    log_close();
    EXPECT_EQ(home.read("nfsd2601.log"), "nfsd: first start\nnfsd: second start\n");
    EXPECT_EQ(home.read("nfsd2602.log"), "nfsd: next month\n");
}

TEST_F(LogTest, BannerOnlyFromLevelTwo) {
    log_test_clock(local_time(2026, 12, 5, 17, 40, 48));
    config.log = 1;
    ASSERT_NE(log_open(), nullptr);
    log_close();
    EXPECT_EQ(home.read("nfsd2612.log"), "");
    config.log = 2;
    ASSERT_NE(log_open(), nullptr);
    log_printf(2, "nfsd: detail\n");
    log_printf(3, "nfsd: more detail\n");
    log_close();
    EXPECT_EQ(home.read("nfsd2612.log"),
              "\n2026-12-05 17:40:48 Nimbora NFS Server log started\nnfsd: detail\n");
}

TEST_F(LogTest, MissingDirectorySwitchesLoggingOff) {
    config.log = 3;
    std::string dir = home.path() + "nowhere/";
    snprintf(config.directory, sizeof config.directory, "%s", dir.c_str());
    EXPECT_EQ(log_open(), nullptr);
    EXPECT_EQ(config.log, 0);
    EXPECT_FALSE(log_enabled(1));
    log_printf(1, "nfsd: dropped\n");
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0);  // not created on the way either
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST_F(LogTest, LevelZeroOpensNothing) {
    config.log = 0;
    EXPECT_EQ(log_open(), nullptr);
    log_printf(0, "nfsd: level zero\n");
    log_close();
    log_close();  // twice is harmless
    char name[16];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(name, sizeof name, "nfsd%y%m.log", &tm);
    struct stat st;
    EXPECT_NE(stat(home.file(name).c_str(), &st), 0);
}

TEST_F(LogTest, LevelsDecideWhichLinesAreWritten) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(log_enabled(1));  // nothing open yet
    log_attach(f, 2);
    EXPECT_TRUE(log_enabled(1));
    EXPECT_TRUE(log_enabled(2));
    EXPECT_FALSE(log_enabled(3));
    log_printf(1, "a %d\n", 1);
    log_printf(2, "b %s\n", "two");
    log_printf(3, "c\n");
    log_close();  // an attached file stays open for its owner
    log_printf(1, "after close\n");
    rewind(f);
    char buf[64] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    EXPECT_EQ(std::string(buf, n), "a 1\nb two\n");
    fclose(f);
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
    config.log = 1;
    ASSERT_NE(log_open(), nullptr);
    constexpr int THREADS = 8, LINES = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([t] {
            std::string pad(t * 37 % 200, static_cast<char>('a' + t));
            for (int i = 0; i < LINES; i++)
                log_printf(1, "%s t%d line %d %s end\n", log_time(), t, i, pad.c_str());
        });
    // A flush and a close racing the writers must not tear or lose a line
    // written before the close.
    log_flush();
    for (auto &th : threads) th.join();
    log_close();
    char name[16];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(name, sizeof name, "nfsd%y%m.log", &tm);
    std::istringstream in(home.read(name));
    std::vector<int> next(THREADS, 0);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        // "<stamp> t<T> line <I> <pad> end"
        ASSERT_GT(line.size(), 20u) << line;
        EXPECT_TRUE(is_stamp(line.substr(0, 19))) << line;
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(sscanf(line.c_str() + 19, " t%d line %d %n", &t, &i, &used), 2) << line;
        ASSERT_TRUE(t >= 0 && t < THREADS) << line;
        EXPECT_EQ(i, next[t]++) << line;  // each thread's lines in order
        std::string pad(t * 37 % 200, static_cast<char>('a' + t));
        EXPECT_EQ(line.substr(19 + used), pad.empty() ? "end" : pad + " end") << line;
        count++;
    }
    EXPECT_EQ(count, THREADS * LINES);
}

TEST_F(LogTest, CloseWhileWritingIsSafe) {
    config.log = 1;
    ASSERT_NE(log_open(), nullptr);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) log_printf(1, "nfsd: busy\n");
    });
    // The level stays 1 throughout: only the stream comes and goes.
    for (int i = 0; i < 20; i++) {
        log_close();
        ASSERT_NE(log_open(), nullptr);
    }
    stop = true;
    writer.join();
    log_close();
}
