// Several clients at once against the program's UDP worker threads, which
// share the replay slots of CREATE and REMOVE; under ThreadSanitizer a race
// ends the program with a failure status.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/server_proc.h"

namespace {

constexpr int CLIENTS = 4;
constexpr int ROUNDS = 50;
constexpr uint32_t CREATE = 8, LOOKUP = 3, REMOVE = 12;
constexpr uint32_t UNCHECKED_NOTHING_SET = 7;  // createhow3 UNCHECKED, an empty sattr3

class NfsdThreads : public server_test {};

TEST_F(NfsdThreads, ClientsAtOnceEachGetTheirOwnAnswers) {
    server_dir dir;
    std::filesystem::create_directory(dir.drive() + "/dir");
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    std::string root, fh;
    ASSERT_EQ(raw_mnt3("/c", &root), 0u);
    ASSERT_EQ(raw_lookup3(root, "dir", &fh), 0u);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&, c] {
            for (int r = 0; r < ROUNDS; r++) {
                std::string name = "f" + std::to_string(c * ROUNDS + r);
                for (uint32_t proc : {CREATE, LOOKUP, REMOVE}) {
                    std::vector<uint32_t> res =
                        raw_call(SERVER_NFS_PORT, 100003, proc, {fh, name},
                                 proc == CREATE ? UNCHECKED_NOTHING_SET : 0);
                    if (res.empty() || res[0] != 0) failures++;
                }
            }
        });
    for (auto &t : clients) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.stop(), 0) << server.output();
    EXPECT_TRUE(std::filesystem::is_empty(dir.drive() + "/dir"));
}

}  // namespace
