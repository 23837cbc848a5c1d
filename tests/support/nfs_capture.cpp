#include "support/nfs_capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/nfs_server.h"

namespace {

// Port 2049 is NFS to the dissector already; the decode-as rules make sure
// of it for both transports, and of the MOUNT port.
std::string decode_as() {
    std::string m = std::to_string(NFS_TEST_MOUNT_PORT);
    return "-d udp.port==2049,rpc -d tcp.port==2049,rpc -d udp.port==" + m + ",rpc -d tcp.port==" +
           m + ",rpc";
}

}  // namespace

nfs_capture::nfs_capture() {
    char name[] = "/tmp/nfs_capture_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return;
    close(fd);
    file_ = name;
    std::string err = file_ + ".err";
    pid_ = fork();
    if (pid_ == 0) {
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (e >= 0) dup2(e, 2);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execlp("tshark", "tshark", "-q", "-i", "lo", "-w", name, "-f",
               "port 2049 or port 1058 or port 111", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Capturing begins when tshark says so on its error stream.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
        FILE *f = fopen(err.c_str(), "r");
        std::string text;
        if (f) {
            char buf[512];
            while (fgets(buf, sizeof buf, f)) text += buf;
            fclose(f);
        }
        if (text.find("Capture started") != std::string::npos) {
            // The message comes as the capture opens; let it settle.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            started_ = true;
            return;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
}

nfs_capture::~nfs_capture() {
    stop();
    if (!file_.empty()) {
        unlink(file_.c_str());
        unlink((file_ + ".err").c_str());
    }
}

void nfs_capture::stop() {
    if (pid_ <= 0) return;
    // Packets still in the kernel's buffer reach the file before tshark ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid_, SIGINT);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = 0;
}

std::string nfs_capture::fields(const std::string &filter, const std::string &fields) {
    std::string command = "tshark -r " + file_ + " " + decode_as() + " -Y '" + filter +
                          "' -T fields";
    size_t at = 0;
    while (at < fields.size()) {
        size_t end = fields.find(' ', at);
        if (end == std::string::npos) end = fields.size();
        command += " -e " + fields.substr(at, end - at);
        at = end + 1;
    }
    std::string out;
    FILE *p = popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

std::set<std::string> nfs_capture::answered(const std::string &field) {
    std::set<std::string> out;
    std::istringstream in(fields("rpc.msgtyp == 1 && nfs", field));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.insert(line);
    return out;
}
