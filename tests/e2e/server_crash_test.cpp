// The server killed (SIGKILL) in the middle of a burst of creates and
// writes from a client, then started again on the same program directory:
// the inode table is taken up again without being thrown away, every file
// the client saw complete is intact, and every handle taken before the
// kill still resolves to the same file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server_client.h"
#include "nfsd/nfs.h"
#include "rpc/clnt.h"
#include "support/server_proc.h"

namespace {

constexpr int ROUNDS = 3;
constexpr int FILES_BEFORE_KILL = 12;  // completed files a round waits for at least
constexpr int COPY_SECONDS = 10;       // nfs-cp retries for ever once the server is gone

// The content of burst file `n`: its own name repeated, so that a file cut
// short or mixed up with another shows.
std::string content(int round, int n) {
    std::string line = "round " + std::to_string(round) + " file " + std::to_string(n) + "\n";
    std::string out;
    while (out.size() < 6000 + size_t(n) * 97) out += line;
    return out;
}

std::string name_of(int round, int n) {
    return "r" + std::to_string(round) + "-f" + std::to_string(n) + ".txt";
}

std::string read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Copies files into /c/burst with nfs-cp, one after another, until told to
// stop; remembers which copies the client saw complete.
class burst {
   public:
    burst(const server_dir &dir, int round) : dir_(dir), round_(round) {
        thread_ = std::thread([this] { run(); });
    }
    ~burst() { finish(); }
    void finish() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    std::vector<int> done() {
        std::lock_guard<std::mutex> hold(lock_);
        return done_;
    }

   private:
    void run() {
        for (int n = 0; !stop_.load(); n++) {
            std::string local = dir_.file("local-" + std::to_string(round_) + ".txt");
            std::ofstream(local, std::ios::binary | std::ios::trunc) << content(round_, n);
            int status = -1;
            server_shell("nfs-cp " + local + " nfs://127.0.0.1/c/burst/" + name_of(round_, n),
                         &status, COPY_SECONDS);
            if (status == 0) {
                std::lock_guard<std::mutex> hold(lock_);
                done_.push_back(n);
            }
        }
    }
    const server_dir &dir_;
    int round_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<int> done_;
};

class ServerCrash : public server_test {};

struct kept_handle {
    std::string name;
    std::vector<uint8_t> fh;
    uint64_t fileid;
};

TEST_F(ServerCrash, AKillDuringABurstLosesNoCompletedFileAndNoHandle) {
    server_dir dir(server_settings{{"Log", "2"}});
    std::filesystem::create_directory(dir.drive() + "/burst");
    std::vector<std::pair<int, int>> completed;  // (round, n)
    std::vector<kept_handle> handles;

    for (int round = 0; round < ROUNDS; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        size_t log_before = dir.log().size();
        server_proc server(dir);
        ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, RPC_TCP)) << server.output();
        std::string since = dir.log().substr(log_before);
        EXPECT_EQ(since.find("corrupt"), std::string::npos) << since;
        EXPECT_NE(since.find("inodeHeap total"), std::string::npos) << since;

        // What earlier rounds left is still there, by handle and by name.
        std::vector<uint8_t> root, burst_dir;
        ASSERT_EQ(raw_mnt3(SERVER_MOUNT_PORT, "/c", &root), 0u);
        ASSERT_EQ(raw_lookup3(SERVER_NFS_PORT, root, "burst", &burst_dir), 0u);
        for (const kept_handle &k : handles) {
            uint64_t fileid = 0, size = 0;
            EXPECT_EQ(raw_getattr3(SERVER_NFS_PORT, k.fh, &fileid, &size), 0u) << k.name;
            EXPECT_EQ(fileid, k.fileid) << k.name;
            std::vector<uint8_t> again;
            EXPECT_EQ(raw_lookup3(SERVER_NFS_PORT, burst_dir, k.name, &again), 0u) << k.name;
            EXPECT_EQ(again, k.fh) << k.name;
        }
        for (auto [r, n] : completed)
            EXPECT_EQ(read_bytes(dir.drive() + "/burst/" + name_of(r, n)), content(r, n))
                << name_of(r, n);

        // The burst; handles are taken of files as they complete, and the
        // kill falls while the client is still creating and writing.
        burst client(dir, round);
        size_t taken = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (taken < FILES_BEFORE_KILL && std::chrono::steady_clock::now() < until) {
            std::vector<int> done = client.done();
            for (; taken < done.size(); taken++) {
                kept_handle k{name_of(round, done[taken]), {}, 0};
                uint64_t size = 0;
                if (raw_lookup3(SERVER_NFS_PORT, burst_dir, k.name, &k.fh) == 0 &&
                    raw_getattr3(SERVER_NFS_PORT, k.fh, &k.fileid, &size) == 0)
                    handles.push_back(k);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * (round + 1)));
        server.kill9();
        client.finish();
        for (int n : client.done()) completed.push_back({round, n});
        ASSERT_GE(client.done().size(), size_t(FILES_BEFORE_KILL));
    }
    EXPECT_GE(handles.size(), size_t(ROUNDS * FILES_BEFORE_KILL));

    // A last start checks what the last kill left.
    size_t log_before = dir.log().size();
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered(NFS_PROG, 3, RPC_TCP)) << server.output();
    EXPECT_EQ(dir.log().substr(log_before).find("corrupt"), std::string::npos);
    for (const kept_handle &k : handles) {
        uint64_t fileid = 0, size = 0;
        EXPECT_EQ(raw_getattr3(SERVER_NFS_PORT, k.fh, &fileid, &size), 0u) << k.name;
        EXPECT_EQ(fileid, k.fileid) << k.name;
    }
    for (auto [r, n] : completed)
        EXPECT_EQ(read_bytes(dir.drive() + "/burst/" + name_of(r, n)), content(r, n)) << name_of(r, n);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
