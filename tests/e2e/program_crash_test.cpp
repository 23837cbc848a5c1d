// The server killed (SIGKILL) in the middle of a burst of creates and
// writes from a client, then started again on the same program directory:
// the inode table is taken up again without being thrown away, every file
// the client saw complete is intact, and every handle taken before the
// kill still resolves to the same file.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/home.h"
#include "support/server_proc.h"

namespace {

constexpr int ROUNDS = 3;
constexpr int FILES_BEFORE_KILL = 12;  // completed files a round waits for at least
constexpr int BURST_FILES = 200;       // prepared for a round, far more than it copies

// A file's own name repeated, so that one cut short or mixed up shows.
std::string content(int round, int n) {
    std::string line = "round " + std::to_string(round) + " file " + std::to_string(n) + "\n";
    std::string out;
    while (out.size() < 6000 + size_t(n) * 97) out += line;
    return out;
}

std::string name_of(int round, int n) {
    return "r" + std::to_string(round) + "-f" + std::to_string(n) + ".txt";
}

// The numbers listed in `path`, one a line.
std::vector<int> numbers(const std::string &path) {
    std::istringstream in(read_file(path));
    std::vector<int> out;
    for (int n; in >> n;) out.push_back(n);
    return out;
}

struct kept_handle {
    std::string name;
    std::string fh;
    uint64_t fileid;
};

class ServerCrash : public server_test {};

TEST_F(ServerCrash, AKillDuringABurstLosesNoCompletedFileAndNoHandle) {
    server_dir dir(server_settings{{"Log", "2"}});
    std::filesystem::create_directory(dir.drive() + "/burst");
    std::vector<std::pair<int, int>> completed;  // (round, n)
    std::vector<kept_handle> handles;

    // Each round checks what the kills before it left; the last only checks.
    for (int round = 0; round <= ROUNDS; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        size_t log_before = dir.log().size();
        server_proc server(dir);
        ASSERT_TRUE(server.wait_registered()) << server.output();
        std::string since = dir.log().substr(log_before);
        EXPECT_EQ(since.find("corrupt"), std::string::npos) << since;
        EXPECT_NE(since.find("inodeHeap total"), std::string::npos) << since;

        std::string root, burst_dir;
        ASSERT_EQ(raw_mnt3("/c", &root), 0u);
        ASSERT_EQ(raw_lookup3(root, "burst", &burst_dir), 0u);
        for (const kept_handle &k : handles) {
            uint64_t fileid = 0, size = 0;
            EXPECT_EQ(raw_getattr3(k.fh, &fileid, &size), 0u) << k.name;
            EXPECT_EQ(fileid, k.fileid) << k.name;
            std::string again;
            EXPECT_EQ(raw_lookup3(burst_dir, k.name, &again), 0u) << k.name;
            EXPECT_EQ(again, k.fh) << k.name;
        }
        for (auto [r, n] : completed)
            EXPECT_EQ(read_file(dir.drive() + "/burst/" + name_of(r, n)), content(r, n))
                << name_of(r, n);
        if (round == ROUNDS) {
            EXPECT_EQ(server.stop(), 0);
            break;
        }

        // The burst: nfs-cp of prepared files, one after another, each listed
        // in "done" once the client saw it complete. Handles are taken of
        // files as they complete; the kill falls while the client still
        // creates and writes.
        std::string r = std::to_string(round), done = dir.file("done" + r);
        std::filesystem::create_directory(dir.file("src" + r));
        for (int n = 0; n < BURST_FILES; n++)
            write_file(dir.file("src" + r + "/" + std::to_string(n)), content(round, n));
        pid_t client =
            server_spawn({"setsid", "sh", "-c",
                          "for n in $(seq 0 " + std::to_string(BURST_FILES - 1) + "); do nfs-cp " +
                              dir.file("src" + r) + "/$n nfs://127.0.0.1/c/burst/r" + r +
                              "-f$n.txt && echo $n >> " + done + "; done"},
                         "/dev/null");
        ASSERT_GT(client, 0);
        size_t taken = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (taken < FILES_BEFORE_KILL && std::chrono::steady_clock::now() < until) {
            std::vector<int> completes = numbers(done);
            for (; taken < completes.size(); taken++) {
                kept_handle k{name_of(round, completes[taken]), {}, 0};
                uint64_t size = 0;
                if (raw_lookup3(burst_dir, k.name, &k.fh) == 0 &&
                    raw_getattr3(k.fh, &k.fileid, &size) == 0)
                    handles.push_back(k);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * (round + 1)));
        server.kill9();
        kill(-client, SIGKILL);  // nfs-cp would retry for ever
        server_wait_child(client, 10000);
        for (int n : numbers(done)) completed.push_back({round, n});
        ASSERT_GE(numbers(done).size(), size_t(FILES_BEFORE_KILL));
    }
    EXPECT_GE(handles.size(), size_t(ROUNDS * FILES_BEFORE_KILL));
}

}  // namespace
