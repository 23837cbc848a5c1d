#include "support/server_proc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "rpc/clnt.h"
#include "support/home.h"
#include "support/nfs_rig.h"
#include "support/rpc_msg.h"

extern char **environ;

namespace {

constexpr uint16_t PORTMAPPER = 111;

void dump_row(void *ctx, uint32_t prog, uint32_t vers, uint32_t protocol, uint32_t port) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(
        std::to_string(prog) + " " + std::to_string(vers) + (protocol == 17 ? " udp " : " tcp ") +
        std::to_string(port));
}

// A status word, then on success a handle (length word and bytes).
uint32_t status_and_handle(const std::vector<uint32_t> &r, std::string *fh) {
    if (r.empty()) return RAW_NO_REPLY;
    if (r[0] != 0) return r[0];  // a refusal is its status word alone
    if (r.size() < 2 || r[1] > 64 || r.size() < 2 + (r[1] + 3) / 4) return RAW_NO_REPLY;
    rpc_bytes bytes = rpc_msg_bytes({r.begin() + 2, r.end()});
    fh->assign(bytes.begin(), bytes.begin() + r[1]);
    return 0;
}

bool server_port_free(uint16_t port, int type) {
    // The kernel's table, not a probe by binding, which could take the port
    // from a server that is just starting.
    std::istringstream table(read_file(type == SOCK_DGRAM ? "/proc/net/udp" : "/proc/net/tcp"));
    std::string line, slot, local, remote, state;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
        std::istringstream f(line);
        if (!(f >> slot >> local >> remote >> state)) continue;
        unsigned long local_port = strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16);
        if (local_port == port && !(type == SOCK_STREAM && state == "06")) return false;
    }
    return true;
}

}  // namespace

pid_t server_spawn(const std::vector<std::string> &argv, const std::string &output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int server_wait_child(pid_t pid, int timeout_ms) {
    if (pid <= 0) return -1;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 || std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

server_dir::server_dir(const server_settings &values, const std::string &exports) {
    std::filesystem::create_directory(drive());
    std::string reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n";
    for (const auto &[name, value] : values) reg += "\"" + name + "\"=\"" + value + "\"\n";
    reg += "\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n\"C\"=\"" + drive() + "\"\n";
    write("settings.reg", reg);
    write("exports", exports);
}

std::string server_dir::log() const {
    char name[32];
    time_t now = time(nullptr);
    struct tm tm;
    strftime(name, sizeof name, "nfsd%y%m.log", localtime_r(&now, &tm));
    return read_file(file(name));
}

server_proc::server_proc(const server_dir &dir, const std::vector<std::string> &args) : dir_(dir) {
    // The program lies beside the test binaries.
    std::vector<std::string> argv = {std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                                     "nfsd"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--home", dir.path()});
    pid_ = server_spawn(argv, dir.file("output.txt"));
}

bool server_proc::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    status_ = server_wait_child(pid_, 0);
    return status_ < 0;
}

bool server_proc::wait_registered(const std::string &row) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (running() && std::chrono::steady_clock::now() < until) {
        // Asking before anything holds port 111 would cost the client's
        // whole 2-second wait.
        if (!server_port_free(PORTMAPPER, SOCK_DGRAM))
            for (const std::string &r : server_mappings())
                if (r.rfind(row + " ", 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int server_proc::wait_exit(int timeout_ms) {
    if (running()) status_ = server_wait_child(pid_, timeout_ms);
    return status_;
}

int server_proc::stop(int timeout_ms) {
    if (running()) kill(pid_, SIGTERM);
    return wait_exit(timeout_ms);
}

void server_proc::kill9() {
    if (running()) kill(pid_, SIGKILL);
    wait_exit(10000);
}

std::vector<std::string> server_mappings() {
    std::vector<std::string> rows;
    if (!pmap_dump(1, dump_row, &rows)) rows.clear();
    return rows;
}

std::string server_shell(const std::string &command, int *status, int seconds) {
    std::string out, line = "timeout -k 5 " + std::to_string(seconds) + " " + command + " 2>&1";
    FILE *p = popen(line.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = p ? pclose(p) : -1;
    if (status) *status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

void server_expect_ports_free() {
    for (uint16_t port : {PORTMAPPER, SERVER_MOUNT_PORT, SERVER_NFS_PORT})
        for (int type : {SOCK_DGRAM, SOCK_STREAM})
            EXPECT_TRUE(server_port_free(port, type)) << port << "/" << type;
}

std::vector<uint32_t> raw_call(uint16_t port, uint32_t prog, uint32_t proc,
                               std::initializer_list<std::string> opaques, uint32_t zeros) {
    static std::atomic<uint32_t> next_xid{0x5e700000};
    uint32_t xid = ++next_xid;
    std::vector<uint8_t> args;
    for (const std::string &s : opaques) {
        rpc_msg_word(args, uint32_t(s.size()));
        rpc_msg_opaque(args, s.data(), uint32_t(s.size()));
    }
    args.resize(args.size() + 4 * zeros);
    std::vector<uint8_t> reply = rpc_udp_call(port, nfs_call_msg(xid, prog, 3, proc, args), 3000);
    if (rpc_msg_word_at(reply, 0) != xid || rpc_msg_accept_status(reply) != 0) return {};
    return nfs_results(reply);
}

uint32_t raw_mnt3(const std::string &path, std::string *fh) {
    return status_and_handle(raw_call(SERVER_MOUNT_PORT, 100005, 1, {path}), fh);
}

uint32_t raw_lookup3(const std::string &dir, const std::string &name, std::string *fh) {
    return status_and_handle(raw_call(SERVER_NFS_PORT, 100003, 3, {dir, name}), fh);
}

uint32_t raw_getattr3(const std::string &fh, uint64_t *fileid) {
    std::vector<uint32_t> r = raw_call(SERVER_NFS_PORT, 100003, 1, {fh});
    if (r.empty() || (r[0] == 0 && r.size() < 16)) return RAW_NO_REPLY;
    // fattr3: type, mode, nlink, uid, gid, size, used, rdev, fsid, fileid.
    if (r[0] == 0 && fileid) *fileid = uint64_t(r[14]) << 32 | r[15];
    return r[0];
}
