// The server program as a user runs it, for end-to-end tests: a program
// directory in /tmp with settings, exports and drive C: (its folder "c"),
// the built nfsd started on it as a child process, and the clients' tools
// run beside it. The test binary already runs in a private network
// namespace (test_main), which the child and every tool share.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef std::map<std::string, std::string> server_settings;

// The ports of the mount service and NFS as the default settings give them.
constexpr uint16_t SERVER_MOUNT_PORT = 1058, SERVER_NFS_PORT = 2049;

// A program directory: settings.reg with the given values of the server's
// key and "C" mapped to the folder "c" inside it, and an "exports" file.
class server_dir {
   public:
    explicit server_dir(const server_settings &settings = {},
                        const std::string &exports = "c:\\ -alldirs\n");
    ~server_dir();
    server_dir(const server_dir &) = delete;
    server_dir &operator=(const server_dir &) = delete;

    // Rewrites settings.reg with these values (and the drive mapping).
    void settings(const server_settings &values) const;
    // The directory, ending in '/'; `name` inside it; drive C:'s folder.
    const std::string &path() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + name; }
    std::string drive() const { return dir_ + "c"; }
    // This month's log file, "" when there is none.
    std::string log() const;

   private:
    std::string dir_;
};

// A run of build/nfsd --home DIR [args], its standard output and error
// captured in DIR/output.txt (appended over runs).
class server_proc {
   public:
    server_proc(const server_dir &dir, const std::vector<std::string> &args = {});
    // Kills the child (SIGKILL) when it still runs.
    ~server_proc();
    server_proc(const server_proc &) = delete;
    server_proc &operator=(const server_proc &) = delete;

    // Waits until the portmapper on 127.0.0.1 lists (prog, vers, prot), or
    // the child has ended, or `timeout_ms` passed; true in the first case.
    bool wait_registered(uint32_t prog, uint32_t vers, uint32_t prot, int timeout_ms = 10000);
    // Waits for the child to end; its exit status, -1 after `timeout_ms`, or
    // 128 + the signal that ended it.
    int wait_exit(int timeout_ms);
    // SIGTERM, then wait_exit.
    int stop(int timeout_ms = 10000);
    void kill9();
    bool running();
    pid_t pid() const { return pid_; }
    // What the program printed so far.
    std::string output() const;

   private:
    const server_dir &dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// The mappings of the portmapper on 127.0.0.1 as "prog vers proto port"
// rows (proto "udp"/"tcp"), in its order; empty when none answers.
std::vector<std::string> server_mappings();

// True when this process runs in a network namespace with only the loopback
// interface (the test main enters one when it may), so that ports such as
// 111 are the test's own.
bool server_isolated();

// Runs one command through the shell (standard error joined to standard
// output), killed after `seconds` (a client tool may retry for ever against
// a server that is gone); answers its output and puts its exit status in
// *status when given (124 after the time limit).
std::string server_shell(const std::string &command, int *status = nullptr, int seconds = 120);

// True when no socket of `type` (SOCK_DGRAM or SOCK_STREAM) in this network
// namespace holds the port (a TCP connection in TIME_WAIT does not count).
bool server_port_free(uint16_t port, int type);

// Holds a port (bound, and listening for TCP) until destroyed.
class server_port_holder {
   public:
    server_port_holder(uint16_t port, int type);
    ~server_port_holder();
    server_port_holder(const server_port_holder &) = delete;
    server_port_holder &operator=(const server_port_holder &) = delete;
    bool held() const { return fd_ >= 0; }

   private:
    int fd_;
};

// rpcbind running in this network namespace (with a private /run of its
// own) for as long as the object lives; running() is false when it could
// not be started.
class server_rpcbind {
   public:
    server_rpcbind();
    ~server_rpcbind();
    server_rpcbind(const server_rpcbind &) = delete;
    server_rpcbind &operator=(const server_rpcbind &) = delete;
    bool running() const { return pid_ > 0; }

   private:
    pid_t pid_ = -1;
};

// Base of the tests that start servers: they bind the fixed ports (111
// above all), so they only run in a network namespace of their own.
class server_test : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!server_isolated()) GTEST_SKIP() << "needs a private network namespace (run as root)";
    }
};
