// The administrator's exportfs: --check beside a running server, and SIGHUP
// re-reading the exports file while clients hold handles.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "inode/inode.h"
#include "support/home.h"
#include "support/server_proc.h"

namespace {

// Waits until the server's output holds `part` (5 s at most).
bool wait_output(const server_proc &server, const std::string &part) {
    for (int i = 0; i < 100; i++) {
        if (server_has(server.output(), part)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

uint32_t getattr(const std::string &fh) {
    uint64_t fileid, size;
    return raw_getattr3(fh, &fileid, &size);
}

// The export id a handle carries, as the export table prints it.
std::string id_text(const std::string &fh) {
    char text[16];
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(fh.data());
    snprintf(text, sizeof text, "%8.8x", inode_get32(bytes + 4));
    return text;
}

class ServerReload : public server_test {};

// --check beside the running server shows its export ids and every problem
// and writes nothing; a hangup serves the new list, keeps the handles of
// unchanged lines, and a file with a problem changes nothing.
TEST_F(ServerReload, CheckWritesNothingAndHangupKeepsTheHandlesOfUnchangedLines) {
    server_dir dir{{}, "c:\\keep -name:keep\nc:\\gone -name:gone\n"};
    for (const char *name : {"keep", "gone", "new"})
        std::filesystem::create_directory(dir.drive() + "/" + name);
    server_proc server(dir, {"-SERVICE"});  // the word is taken in any case
    ASSERT_TRUE(server.wait_registered()) << server.output();
    // Once the pages are up their token file is there.
    ASSERT_TRUE(wait_output(server, "Settings pages: ")) << server.output();
    std::string keep, gone, again, fresh;
    ASSERT_EQ(raw_mnt3("/keep", &keep), 0u);
    ASSERT_EQ(raw_mnt3("/gone", &gone), 0u);
    auto files = [&] {
        std::string names;
        for (const auto &e : std::filesystem::directory_iterator(dir.path()))
            // The server's own output and log may grow meanwhile.
            if (e.path().filename() != "output.txt" && e.path().extension() != ".log")
                names += e.path().filename().string() + ":" +
                         std::to_string(e.is_regular_file() ? e.file_size() : 0) + " ";
        return names;
    };
    const struct {
        const char *exports;  // nullptr: as started
        int status;
        std::vector<std::string> lines;
    } checks[] = {
        {nullptr, 0, {"/keep            " + id_text(keep) + " c:\\keep      -name:keep\n",
                      "\n2 exports, 0 problems\n"}},
        {"c:\\keep -name:keep\nc:\\gone -bogus\nq:\\x\n", 8,
         {"exports: Line 2 ignored, unknown option: bogus\n",
          "exports: Line 3 ignored, unsupported drive type", "\n1 exports, 2 problems\n"}},
    };
    for (const auto &c : checks) {
        if (c.exports) write_file(dir.file("exports"), c.exports);
        std::string before = files();
        {
            server_proc check(dir, {"--check"});
            EXPECT_EQ(check.wait_exit(10000), c.status);
        }
        EXPECT_EQ(files(), before);  // no settings written, no log, no table
        for (const std::string &line : c.lines)
            EXPECT_TRUE(server_has(server.output(), line)) << line << server.output();
    }
    EXPECT_EQ(getattr(keep), 0u);

    write_file(dir.file("exports"), "c:\\new -name:new\nc:\\keep -name:keep\n");
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_output(server, "nfsd: exports reloaded, 2 exports\n")) << server.output();
    EXPECT_TRUE(server.running());  // -service: a hangup is a reload, not a stop
    EXPECT_EQ(getattr(keep), 0u);
    EXPECT_EQ(getattr(gone), 70u);  // STALE
    EXPECT_EQ(raw_mnt3("/gone", &again), 2u);
    EXPECT_EQ(raw_mnt3("/keep", &again), 0u);
    EXPECT_EQ(again, keep);
    EXPECT_EQ(raw_mnt3("/new", &fresh), 0u);

    write_file(dir.file("exports"), "c:\\keep -name:keep -bogus\n");
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_output(server, "nfsd: exports not reloaded")) << server.output();
    EXPECT_TRUE(server_has(server.output(), "exports: Line 1 ignored, unknown option: bogus\n"));
    EXPECT_EQ(getattr(fresh), 0u);
    EXPECT_EQ(getattr(keep), 0u);
    EXPECT_TRUE(server_has(dir.log(), "nfsd   exports not reloaded"));
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
