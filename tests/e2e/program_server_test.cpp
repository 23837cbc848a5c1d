// The server program when a step of its start fails and when it is started
// twice: exit status, message, log line, and what is left behind. Then what
// a new user meets: the example as shipped exports nothing and says why. The
// administrator's --check (and the command line's other statuses) beside a
// running server, and SIGHUP re-reading the exports file while clients hold
// handles. Then clients at once against the UDP workers, and last a kill
// (SIGKILL) in the middle of a burst of creates and writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "inode/inode.h"
#include "platform/mapfile.h"
#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "support/home.h"
#include "support/server_proc.h"

namespace {

constexpr int EXIT_WAIT_MS = 15000;

class ServerFailures : public server_test {};

TEST_F(ServerFailures, EachFailedStepExitsWithItsStatusLineAndMessageAndLeavesNothing) {
    const struct {
        uint16_t port;  // held by the test; 0: the inode table is held instead
        int type;
        int status;
        const char *line;     // in the log
        const char *message;  // on standard error
        const char *reason;   // the line after it, in both places ("" for none)
    } cases[] = {
        {111, SOCK_STREAM, 2, " pmapd: failed to start service\n", "Failed to start Portmapper\n",
         "nfsd: portmapper: cannot bind port 111/tcp: Address already in use\n"},
        {1058, SOCK_DGRAM, 3, "mountd: cannot bind udp socket\n", "Failed to start Mount server\n",
         "nfsd: mount service: cannot bind port 1058/udp: Address already in use\n"},
        {1058, SOCK_STREAM, 3, "mountd: cannot bind tcp socket\n",
         "Failed to start Mount server\n",
         "nfsd: mount service: cannot bind port 1058/tcp: Address already in use\n"},
        {2049, SOCK_STREAM, 4, "nfsd: cannot create nfs socket\n", "Failed to setup NFS server\n",
         "nfsd: NFS service: cannot bind port 2049/tcp: Address already in use\n"},
        {2049, SOCK_DGRAM, 4, "nfsd: cannot create nfs socket\n", "Failed to setup NFS server\n",
         "nfsd: NFS service: cannot bind port 2049/udp: Address already in use\n"},
        {0, 0, 6, " nfsd: Inode table initialization failed\n",
         "Inode table initialization failed\n",
         "nfsd: inode table: cannot open the inode table: Resource temporarily unavailable\n"},
    };
    const std::string mounts = "a000001 /c\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        server_dir dir;
        write_file(dir.file("mounttab"), mounts);
        mapfile other_owner;
        sock_t held = !c.port                ? SOCK_INVALID
                      : c.type == SOCK_DGRAM ? udp_socket(0, c.port)
                                             : tcp_listen_socket(nullptr, c.port);
        ASSERT_TRUE(c.port ? held != SOCK_INVALID
                           : mapfile_open(&other_owner, dir.file("inodes.nfs").c_str(), false));

        server_proc server(dir);
        EXPECT_EQ(server.wait_exit(EXIT_WAIT_MS), c.status) << server.output();
        std::string log = dir.log(), out = server.output();
        EXPECT_TRUE(server_has(log, c.line) && server_has(log, c.reason + strlen("nfsd: "))) << log;
        EXPECT_TRUE(server_has(out, "Nimbora NFS Server: " + std::string(c.message) + c.reason))
            << out;
        // Nothing after the failed step pretends to be a start or another failure.
        EXPECT_FALSE(server_has(log, "nfsd   started") || server_has(log, "fatal")) << log;
        EXPECT_TRUE(c.port != 111 || server_has(out, "held by the host's portmapper (rpcbind, "
                                                      "and rpcbind.socket on Debian)"));
        EXPECT_EQ(read_file(dir.file("mounttab")), mounts);
        if (held != SOCK_INVALID) sock_close(held);
        server_expect_ports_free();
        mapfile_close(&other_owner);
    }
}

// With one server running, a second start for the same directory leaves at
// once (a stop with a client connected is SelectLoop's).
TEST_F(ServerFailures, ASecondStartLeaves) {
    server_dir dir;
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    server_proc second(dir);
    EXPECT_EQ(second.wait_exit(5000), 7);  // never read as success
    EXPECT_TRUE(server_has(second.output(), "already running for " + dir.path()))
        << second.output();
    EXPECT_EQ(server.stop(), 0) << server.output();
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
    const std::string maps = "nfsd: drive C: \"@EXAMPLE@/demo\" maps nothing";
    EXPECT_TRUE(server_has(out, maps + ": not an absolute path")) << out;
    EXPECT_TRUE(server_has(out, "unsupported drive type: c: (drive c: maps no directory)")) << out;
    EXPECT_TRUE(server_has(dir.log(), maps)) << dir.log();

    // Neither the placeholder's folder nor anything else is served.
    std::string fh;
    for (const char *path : {"/demo", "/c", "/", "/etc"})
        EXPECT_EQ(raw_mnt3(path, &fh), 2u) << path;
    EXPECT_EQ(server.stop(), 0);
}

// Waits until the server's output holds `part` (5 s at most).
bool wait_output(const server_proc &server, const std::string &part) {
    for (int i = 0; i < 100; i++) {
        if (server_has(server.output(), part)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class ServerReload : public server_test {};

// --check beside the running server shows its export ids and every problem
// and writes nothing (nor takes the inode table from the server); a hangup
// serves the new list, keeps the handles of unchanged lines, and a file with
// a problem changes nothing.
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
    char id[16];  // the export id the handle carries, as the export table prints it
    snprintf(id, sizeof id, "%8.8x", inode_get32(reinterpret_cast<const uint8_t *>(&keep[4])));
    auto files = [&] {
        std::string names;
        for (const auto &e : std::filesystem::directory_iterator(dir.path()))
            // The server's own output and log may grow meanwhile.
            if (e.path().filename() != "output.txt" && e.path().extension() != ".log")
                names += e.path().filename().string() + ":" +
                         std::to_string(e.is_regular_file() ? e.file_size() : 0) + " ";
        return names;
    };
    // The command line's other answers have statuses of their own too.
    const struct {
        const char *arg;
        const char *exports;  // nullptr: as before
        int status;
        std::vector<std::string> lines;
    } checks[] = {
        {"--check", nullptr, 0,
         {"/keep            " + std::string(id) + " c:\\keep      -name:keep\n",
          "\n2 exports, 0 problems\n"}},
        {"--check", "c:\\keep -name:keep\nc:\\gone -bogus\nq:\\x\n", 8,
         {"exports: Line 2 ignored, unknown option: bogus\n",
          "exports: Line 3 ignored, unsupported drive type", "\n1 exports, 2 problems\n"}},
        {"--help", nullptr, 0, {"Exit status:\n  0   stopped"}},
        {"--bogus", nullptr, 64, {"usage: nfsd [-service] [--home DIR]"}},
    };
    for (const auto &c : checks) {
        SCOPED_TRACE(c.arg);
        if (c.exports) write_file(dir.file("exports"), c.exports);
        std::string before = files();
        {
            server_proc check(dir, {c.arg});
            EXPECT_EQ(check.wait_exit(10000), c.status);
        }
        EXPECT_EQ(files(), before);  // no settings written, no log, no table
        for (const std::string &line : c.lines)
            EXPECT_TRUE(server_has(server.output(), line)) << line << server.output();
    }
    EXPECT_EQ(raw_getattr3(keep), 0u);

    write_file(dir.file("exports"), "c:\\new -name:new\nc:\\keep -name:keep\n");
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_output(server, "nfsd: exports reloaded, 2 exports\n")) << server.output();
    EXPECT_TRUE(server.running());  // -service: a hangup is a reload, not a stop
    EXPECT_EQ(raw_getattr3(keep), 0u);
    EXPECT_EQ(raw_getattr3(gone), 70u);  // STALE
    EXPECT_EQ(raw_mnt3("/gone", &again), 2u);
    EXPECT_EQ(raw_mnt3("/keep", &again), 0u);
    EXPECT_EQ(again, keep);
    EXPECT_EQ(raw_mnt3("/new", &fresh), 0u);

    write_file(dir.file("exports"), "c:\\keep -name:keep -bogus\n");
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_output(server, "nfsd: exports not reloaded")) << server.output();
    EXPECT_TRUE(server_has(server.output(), "exports: Line 1 ignored, unknown option: bogus\n"));
    EXPECT_EQ(raw_getattr3(fresh), 0u);
    EXPECT_EQ(raw_getattr3(keep), 0u);
    EXPECT_TRUE(server_has(dir.log(), "nfsd   exports not reloaded"));
    EXPECT_EQ(server.stop(), 0) << server.output();
}

class NfsdThreads : public server_test {};

// Several clients at once against the program's UDP worker threads, which
// share the replay slots of CREATE and REMOVE; under ThreadSanitizer a race
// ends the program with a failure status.
TEST_F(NfsdThreads, ClientsAtOnceEachGetTheirOwnAnswers) {
    constexpr uint32_t CREATE = 8, LOOKUP = 3, REMOVE = 12;
    constexpr uint32_t UNCHECKED_NOTHING_SET = 7;  // createhow3 UNCHECKED, an empty sattr3
    server_dir dir;
    std::filesystem::create_directory(dir.drive() + "/dir");
    server_proc server(dir);
    ASSERT_TRUE(server.wait_registered()) << server.output();
    std::string root, fh;
    ASSERT_EQ(raw_mnt3("/c", &root), 0u);
    ASSERT_EQ(raw_lookup3(root, "dir", &fh), 0u);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; c++)
        clients.emplace_back([&, c] {
            for (int r = 0; r < 50; r++)
                for (uint32_t proc : {CREATE, LOOKUP, REMOVE}) {
                    std::string name = "f" + std::to_string(c * 50 + r);
                    uint32_t zeros = proc == CREATE ? UNCHECKED_NOTHING_SET : 0;
                    std::vector<uint32_t> res =
                        raw_call(SERVER_NFS_PORT, 100003, proc, {fh, name}, zeros);
                    if (res.empty() || res[0] != 0) failures++;
                }
        });
    for (auto &t : clients) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.stop(), 0) << server.output();
    EXPECT_TRUE(std::filesystem::is_empty(dir.drive() + "/dir"));
}

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
    std::string name, fh;
    uint64_t fileid;
};

class ServerCrash : public server_test {};

// The server killed (SIGKILL) in the middle of a burst of creates and
// writes from a client, then started again on the same program directory:
// the inode table is taken up again without being thrown away, every file
// the client saw complete is intact, and every handle taken before the
// kill still resolves to the same file.
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
        EXPECT_TRUE(!server_has(since, "corrupt") && server_has(since, "inodeHeap total")) << since;

        std::string root, burst_dir;
        ASSERT_EQ(raw_mnt3("/c", &root), 0u);
        ASSERT_EQ(raw_lookup3(root, "burst", &burst_dir), 0u);
        for (const kept_handle &k : handles) {
            uint64_t fileid = 0;
            std::string again;
            EXPECT_EQ(raw_getattr3(k.fh, &fileid), 0u) << k.name;
            EXPECT_EQ(raw_lookup3(burst_dir, k.name, &again), 0u) << k.name;
            EXPECT_TRUE(fileid == k.fileid && again == k.fh) << k.name;
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
                kept_handle k{name_of(round, completes[taken]), "", 0};
                if (raw_lookup3(burst_dir, k.name, &k.fh) == 0 &&
                    raw_getattr3(k.fh, &k.fileid) == 0)
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
