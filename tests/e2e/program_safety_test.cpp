// What a new user meets: the example as shipped exports nothing and says
// why, the log shows what happens while it happens, and the command line
// answers with its own statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/home.h"
#include "support/server_proc.h"

namespace {

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class ServerSafety : public server_test {};

// The example's settings hold a placeholder for drive C:, which the run
// script fills in; a copy taken as it is must serve nothing at all.
TEST_F(ServerSafety, AnUnmodifiedCopyOfTheExampleExportsNothing) {
    server_dir dir;
    std::filesystem::copy(NIMBORA_SOURCE_DIR "/example", dir.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    std::string out = server.output();
    EXPECT_TRUE(has(out, "nfsd: drive C: \"@EXAMPLE@/demo\" maps nothing: not an absolute path"))
        << out;
    EXPECT_TRUE(has(out, "ignored, unsupported drive type: c: (drive c: maps no directory)")) << out;
    EXPECT_TRUE(has(dir.log(), "nfsd: drive C: \"@EXAMPLE@/demo\" maps nothing")) << dir.log();

    std::string fh;
    for (const char *path : {"/demo", "/c", "/", "/etc"}) EXPECT_EQ(raw_mnt3(path, &fh), 2u) << path;
    EXPECT_FALSE(has(server_shell("showmount -e 127.0.0.1"), "/"));
    int status = 0;
    std::string cat = server_shell("nfs-cat nfs://127.0.0.1/demo/hello.txt", &status, 30);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(has(cat, "Hello")) << cat;
    EXPECT_EQ(server.stop(), 0);
}

// Each line is in the file when it is written: a refused mount shows while
// the server runs, and a stop says so.
TEST_F(ServerSafety, TheLogShowsEachLineWhileTheServerRuns) {
    server_dir dir(server_settings{{"Log", "2"}});
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    std::string fh;
    EXPECT_EQ(raw_mnt3("/nowhere", &fh), 2u);
    std::string log = dir.log();
    EXPECT_TRUE(has(log, "nfsd   started")) << log;
    EXPECT_TRUE(has(log, "mountd: path not in exports list /nowhere\n")) << log;
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(has(dir.log(), " nfsd   stopping\n")) << dir.log();
}

TEST_F(ServerSafety, TheCommandLineAnswersWithItsOwnStatuses) {
    server_dir dir;
    const struct {
        const char *arg;
        int status;
        const char *output, *also;
    } cases[] = {
        {"--help", 0, "Exit status:\n  0   stopped", "  settings.reg "},
        {"--version", 0, "nfsd (Nimbora NFS Server) ", ""},
        {"--bogus", 64, "usage: nfsd [-service] [--home DIR]", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        std::filesystem::remove(dir.file("output.txt"));
        server_proc run(dir, {c.arg});
        EXPECT_EQ(run.wait_exit(5000), c.status);
        EXPECT_TRUE(has(run.output(), c.output)) << run.output();
        EXPECT_TRUE(has(run.output(), c.also)) << run.output();
    }
}

}  // namespace
