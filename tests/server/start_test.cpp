// Start-up and shutdown in this process: the order of the steps as the log
// and the portmapper show it, the services each setting leaves and that each
// of them answers, and what a failed start leaves behind. The program's own
// tests (tests/e2e/server_*) cover each failed step as a user sees it.
#include "server/start.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pmap/pmap.h"
#include "rpc/loop.h"
#include "server/config.h"
#include "server/log.h"
#include "support/drive_temp.h"
#include "support/home.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/server_proc.h"

namespace {

constexpr time_t CLOCK = 1796486400;  // the log's time stamps are this moment
const std::vector<uint16_t> PORTS = {111, 1058, 2049};

const std::vector<std::string> PMAP_ROWS = {"100000 2 tcp 111", "100000 2 udp 111"};
const std::vector<std::string> SERVICE_ROWS = {
    "100005 3 udp 1058", "100005 2 udp 1058", "100005 1 udp 1058", "100005 3 tcp 1058",
    "100005 2 tcp 1058", "100005 1 tcp 1058", "100003 2 udp 2049", "100003 3 udp 2049",
    "100003 2 tcp 2049", "100003 3 tcp 2049"};

std::vector<std::string> rows_without(const std::vector<std::string> &gone) {
    std::vector<std::string> out;
    for (const std::string &row : SERVICE_ROWS) {
        bool keep = true;
        for (const std::string &g : gone)
            if (row.find(g) != std::string::npos) keep = false;
        if (keep) out.push_back(row);
    }
    return out;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A NULL call to (prog, vers) over the row's protocol and port; true when
// an accepted SUCCESS came back.
bool null_answered(const std::string &row) {
    uint32_t prog = 0, vers = 0, port = 0;
    char proto[4] = {};
    if (sscanf(row.c_str(), "%u %u %3s %u", &prog, &vers, proto, &port) != 4) return false;
    std::vector<uint8_t> call = rpc_msg_call(0x1234, prog, vers, 0);
    std::vector<uint8_t> reply;
    if (std::string(proto) == "udp") {
        reply = rpc_udp_call(uint16_t(port), call, 2000);
    } else {
        sock_t s = rpc_tcp_connect(uint16_t(port));
        if (s == SOCK_INVALID) return false;
        if (rpc_tcp_send(s, call)) reply = rpc_tcp_recv(s, 2000);
        sock_close(s);
    }
    return reply.size() >= 24 && rpc_msg_word_at(reply, 1) == 1 && rpc_msg_word_at(reply, 2) == 0 &&
           rpc_msg_word_at(reply, 5) == 0;
}

// Every service port that nobody holds, as "port/udp" or "port/tcp" texts.
std::vector<std::string> held_ports() {
    std::vector<std::string> held;
    for (uint16_t port : PORTS) {
        if (!server_port_free(port, SOCK_DGRAM)) held.push_back(std::to_string(port) + "/udp");
        if (!server_port_free(port, SOCK_STREAM)) held.push_back(std::to_string(port) + "/tcp");
    }
    return held;
}

class ServerStart : public server_test {
   protected:
    void configure(const std::map<std::string, std::string> &values, int log_level = 1) {
        std::string reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n";
        for (const auto &[name, value] : values) reg += "\"" + name + "\"=\"" + value + "\"\n";
        home.write("settings.reg", reg);
        home.write("exports", "c:\\ -alldirs\n");
        config_load("nfsd");
        log.level(log_level);
        log_test_clock(CLOCK);
    }
    std::string stamp() {
        log_test_clock(CLOCK);
        return log_time();
    }
    void run_loop() { loop = std::thread(select_loop); }
    // Stops the server and waits for the loop; answers how long that took.
    std::chrono::milliseconds stop() {
        auto begun = std::chrono::steady_clock::now();
        server_stop();
        if (loop.joinable()) loop.join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begun);
    }
    void TearDown() override {
        stop();
        log_test_clock(0);
    }

    test_home home;
    temp_drive drive;
    log_capture log;
    std::thread loop;
};

struct shape_case {
    const char *name;
    std::map<std::string, std::string> settings;
    std::vector<std::string> gone;  // rows left out, by a part of their text
    const char *started;            // the start line after the time stamp
};

TEST_F(ServerStart, SettingsDecideWhichServicesRunAndEachOneAnswers) {
    // The program's own tests cover "Threads" 1, "UDP" 0 and "Version3" 0.
    const shape_case cases[] = {
        {"defaults", {}, {}, " nfsd   started, 4 udp threads\n"},
        {"two threads", {{"Threads", "2"}}, {}, " nfsd   started, 2 udp threads\n"},
        {"no TCP at all", {{"TCP", "0"}}, {"tcp"}, " nfsd   started, 4 udp threads\n"},
        {"MOUNT over TCP without NFS over TCP",
         {{"TCP", "0"}, {"Mount-TCP", "1"}},
         {"100003 2 tcp", "100003 3 tcp"},
         " nfsd   started, 4 udp threads\n"},
        {"no MOUNT over UDP",
         {{"Mount-UDP", "0"}},
         {"100005 3 udp", "100005 2 udp", "100005 1 udp"},
         " nfsd   started, 4 udp threads\n"},
        {"no version 2 of NFS",
         {{"Version2", "0"}},
         {"100003 2"},
         " nfsd   started, 4 udp threads\n"},
    };
    for (const shape_case &c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.settings);
        log.clear();
        ASSERT_EQ(server_start(), START_OK) << log.text();
        // In order: the portmapper, the exports, the mount service, NFS.
        std::string text = log.text();
        size_t pmap = text.find(stamp() + " pmapd ready on port 111\n"),
               exports = text.find("------ Exported file systems ------"),
               mountd = text.find(stamp() + " mountd started\n");
        EXPECT_TRUE(pmap < exports && exports < mountd && mountd < text.find(stamp() + c.started))
            << text;
        std::vector<std::string> want = rows_without(c.gone);
        EXPECT_EQ(server_mappings(), joined(PMAP_ROWS, want));
        run_loop();
        for (const std::string &row : want) EXPECT_TRUE(null_answered(row)) << row;
        stop();
        EXPECT_EQ(held_ports(), std::vector<std::string>{});
    }
}

TEST_F(ServerStart, AFailedStartWithdrawsWhatItRegisteredAndKeepsTheMountTable) {
    ASSERT_TRUE(pmap_start());
    configure({{"PortMapper", "0"}});
    const std::string mounts = "a000001 /c\n";
    home.write("mounttab", mounts);
    {
        server_port_holder nfs(2049, SOCK_STREAM);
        ASSERT_EQ(server_start(), START_NFS_FAILED);
        // Everything but NFS over TCP got registered before the failure.
        EXPECT_EQ(server_mappings(),
                  joined(PMAP_ROWS, rows_without({"100003 2 tcp", "100003 3 tcp"})));
        stop();
        EXPECT_EQ(server_mappings(), PMAP_ROWS);
    }
    {
        server_port_holder mount(1058, SOCK_DGRAM);
        ASSERT_EQ(server_start(), START_MOUNT_FAILED);
        stop();
        EXPECT_EQ(server_mappings(), PMAP_ROWS);
        // The table was never loaded, so it must not be saved over the file.
        EXPECT_EQ(home.read("mounttab"), mounts);
    }
    pmap_stop();
}

}  // namespace
