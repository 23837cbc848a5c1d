// The server program as a user runs it, for end-to-end tests: a program
// directory in /tmp, the built nfsd started on it as a child process, the
// client tools run beside it, and raw calls for what no tool shows (file
// handles as bytes). Everything shares the test binary's private network
// namespace.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "support/home.h"
#include "support/netns.h"

typedef std::map<std::string, std::string> server_settings;

constexpr uint16_t SERVER_MOUNT_PORT = 1058, SERVER_NFS_PORT = 2049;

// A program directory: settings.reg with these values of the server's key
// and drive C: mapped to its folder "c", and an "exports" file.
class server_dir : public test_home {
   public:
    explicit server_dir(const server_settings &settings = {},
                        const std::string &exports = "c:\\ -alldirs\n");
    std::string drive() const { return file("c"); }
    std::string log() const;  // this month's log file, "" when none
};

// build/nfsd --home DIR [args], its output appended to DIR/output.txt.
// Statuses are exit codes, 128 + the signal, or -1 when still running.
class server_proc {
   public:
    server_proc(const server_dir &dir, const std::vector<std::string> &args = {});
    ~server_proc() { kill9(); }  // SIGKILL when still running
    server_proc(const server_proc &) = delete;
    server_proc &operator=(const server_proc &) = delete;

    // Waits until a portmapper row starts with `row` ("100003 3 tcp");
    // false when the child ended or 10 s passed.
    bool wait_registered(const std::string &row = "100003 3 tcp");
    int wait_exit(int timeout_ms);
    int stop(int timeout_ms = 10000);  // SIGTERM, then wait_exit
    void kill9();
    bool running();
    pid_t pid() const { return pid_; }
    std::string output() const { return read_file(dir_.file("output.txt")); }

   private:
    const server_dir &dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// Whether `text` (an output, a log) holds `part`.
inline bool server_has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The portmapper's rows on 127.0.0.1 as "prog vers udp|tcp port".
std::vector<std::string> server_mappings();

// Runs a shell command (standard error joined), killed after `seconds`
// (status 124): a client tool may retry for ever against a stopped server.
std::string server_shell(const std::string &command, int *status = nullptr, int seconds = 120);

// Starts argv[0] from the PATH, its output appended to `output`: the pid,
// -1 on failure. Waits for a child: its status, -1 after `timeout_ms`.
pid_t server_spawn(const std::vector<std::string> &argv, const std::string &output);
int server_wait_child(pid_t pid, int timeout_ms);

// Fails the test unless ports 111, 1058 and 2049 are free on both transports
// (TCP TIME_WAIT does not hold a port).
void server_expect_ports_free();

// Raw calls over UDP as AUTH_UNIX root, handles as bytes. raw_call sends
// version 3 of `prog` these opaques, then `zeros` zero words: the result
// words, empty unless the call was accepted and successful. Thread-safe.
std::vector<uint32_t> raw_call(uint16_t port, uint32_t prog, uint32_t proc,
                               std::initializer_list<std::string> opaques, uint32_t zeros = 0);
// MOUNT 3 MNT, NFS 3 LOOKUP and GETATTR: the status; RAW_NO_REPLY when
// nothing usable came back.
constexpr uint32_t RAW_NO_REPLY = 0xFFFFFFFF;
uint32_t raw_mnt3(const std::string &path, std::string *fh);
uint32_t raw_lookup3(const std::string &dir, const std::string &name, std::string *fh);
uint32_t raw_getattr3(const std::string &fh, uint64_t *fileid = nullptr);

// Tests that bind the fixed ports (111 above all) need a namespace of their own.
class server_test : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!netns_private()) GTEST_SKIP() << "needs a private network namespace (run as root)";
    }
};
