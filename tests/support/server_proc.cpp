#include "support/server_proc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "rpc/clnt.h"

extern char **environ;

namespace {

constexpr uint16_t PORTMAPPER = 111;

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The program lies beside the test binaries in the build folder.
std::string program_path() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path() / "nfsd").string();
}

void sleep_for_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// waitpid with a time limit; the decoded status, or -1.
int wait_child(pid_t pid, int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 || std::chrono::steady_clock::now() >= until) return -1;
        sleep_for_ms(20);
    }
}

void dump_row(void *ctx, uint32_t prog, uint32_t vers, uint32_t protocol, uint32_t port) {
    auto *rows = static_cast<std::vector<std::string> *>(ctx);
    rows->push_back(std::to_string(prog) + " " + std::to_string(vers) + " " +
                    (protocol == 17 ? "udp" : protocol == 6 ? "tcp" : std::to_string(protocol)) +
                    " " + std::to_string(port));
}

}  // namespace

// ---- server_dir ----------------------------------------------------------

server_dir::server_dir(const server_settings &values,
                       const std::string &exports) {
    char tmpl[] = "/tmp/nimbora-server-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = std::string(tmpl) + "/";
    std::filesystem::create_directory(drive());
    settings(values);
    std::ofstream(file("exports")) << exports;
}

server_dir::~server_dir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void server_dir::settings(const server_settings &values) const {
    std::ofstream out(file("settings.reg"), std::ios::trunc);
    out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n";
    for (const auto &[name, value] : values) out << "\"" << name << "\"=\"" << value << "\"\n";
    out << "\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n\"C\"=\"" << drive() << "\"\n";
}

std::string server_dir::log() const {
    char name[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(name, sizeof name, "nfsd%y%m.log", &tm);
    return read_all(file(name));
}

// ---- server_proc ---------------------------------------------------------

server_proc::server_proc(const server_dir &dir, const std::vector<std::string> &args) : dir_(dir) {
    std::vector<std::string> argv = {program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--home");
    argv.push_back(dir.path());
    pid_ = spawn(argv, dir.file("output.txt"));
}

server_proc::~server_proc() {
    if (running()) {
        kill9();
    }
}

bool server_proc::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
}

bool server_proc::wait_registered(uint32_t prog, uint32_t vers, uint32_t prot, int timeout_ms) {
    std::string want = std::to_string(prog) + " " + std::to_string(vers) + " " +
                       (prot == 17 ? "udp" : "tcp") + " ";
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running() && std::chrono::steady_clock::now() < until) {
        // Asking before anything holds port 111 would cost the client's
        // whole 2-second wait.
        if (!server_port_free(PORTMAPPER, SOCK_DGRAM)) {
            for (const std::string &row : server_mappings())
                if (row.rfind(want, 0) == 0) return true;
        }
        sleep_for_ms(50);
    }
    return false;
}

int server_proc::wait_exit(int timeout_ms) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    int st = wait_child(pid_, timeout_ms);
    if (st >= 0) status_ = st;
    return st;
}

int server_proc::stop(int timeout_ms) {
    if (running()) kill(pid_, SIGTERM);
    return wait_exit(timeout_ms);
}

void server_proc::kill9() {
    if (!running()) return;
    kill(pid_, SIGKILL);
    wait_exit(10000);
}

std::string server_proc::output() const {
    return read_all(dir_.file("output.txt"));
}

// ---- helpers -------------------------------------------------------------

bool server_isolated() {
    // A namespace of the test's own has the loopback interface and nothing
    // else; the host's has more.
    std::istringstream dev(read_all("/proc/self/net/dev"));
    std::string line;
    int interfaces = 0;
    for (int n = 0; std::getline(dev, line); n++) {
        if (n < 2) continue;  // two heading lines
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo") return false;
        interfaces++;
    }
    return interfaces == 1;
}

std::vector<std::string> server_mappings() {
    std::vector<std::string> rows;
    if (!pmap_dump(1, dump_row, &rows)) rows.clear();
    return rows;
}

std::string server_shell(const std::string &command, int *status, int seconds) {
    std::string out;
    std::string line = "timeout -k 5 " + std::to_string(seconds) + " " + command + " 2>&1";
    FILE *p = popen(line.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

bool server_port_free(uint16_t port, int type) {
    // Read from the kernel's table rather than probed by binding, which
    // could take the port away from a server that is just starting.
    std::istringstream table(read_all(type == SOCK_DGRAM ? "/proc/net/udp" : "/proc/net/tcp"));
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state;
        if (!(f >> slot >> local >> remote >> state)) continue;
        unsigned long local_port = strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16);
        // A connection in TIME_WAIT (06) holds no port that a server could
        // not bind again.
        if (local_port == port && !(type == SOCK_STREAM && state == "06")) return false;
    }
    return true;
}

server_port_holder::server_port_holder(uint16_t port, int type) {
    fd_ = socket(AF_INET, type, 0);
    if (fd_ < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (type == SOCK_STREAM) {
        // Like the server's own listener: a port in TIME_WAIT counts as free.
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd_, 1) != 0)) {
        close(fd_);
        fd_ = -1;
    }
}

server_port_holder::~server_port_holder() {
    if (fd_ >= 0) close(fd_);
}

server_rpcbind::server_rpcbind() {
    // rpcbind keeps its lock and socket in /run: a tmpfs of its own keeps it
    // apart from the host's rpcbind.
    pid_ = spawn({"unshare", "--mount", "sh", "-c",
                  "mount -t tmpfs tmpfs /run && exec rpcbind -f"},
                 "/dev/null");
    for (int i = 0; i < 100 && pid_ > 0; i++) {
        if (!server_port_free(PORTMAPPER, SOCK_DGRAM) && !server_mappings().empty()) return;
        if (wait_child(pid_, 0) >= 0) break;
        sleep_for_ms(50);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_child(pid_, 5000);
    }
    pid_ = -1;
}

server_rpcbind::~server_rpcbind() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait_child(pid_, 5000) < 0) {
        kill(pid_, SIGKILL);
        wait_child(pid_, 5000);
    }
}
