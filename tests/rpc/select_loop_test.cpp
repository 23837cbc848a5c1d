// The select loop: UDP calls and TCP connections served, the sweep on its
// beat, the 64-socket limit, descriptors beyond an fd_set, closing every
// transport from another thread while the loop waits, and clients that try
// to exhaust the loop's connections or descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <functional>
#include <thread>

#include "rpc/loop.h"
#include "server/config.h"
#include "server/log.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

bool udp_port_free(uint16_t port) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), port);
    if (s == SOCK_INVALID) return false;
    sock_close(s);
    return true;
}

rpc_bytes null_call(uint32_t xid) {
    return rpc_msg_call(xid, TOY_PROG, 1, TOY_NULL);
}

// A NULL call over an open connection; true when it was answered.
bool tcp_null(sock_t s, uint32_t xid) {
    return rpc_tcp_send(s, null_call(xid)) && rpc_tcp_recv(s, 3000).size() == 24;
}

// A connection to 127.0.0.1:port whose handshake took at most `ms`;
// SOCK_INVALID when it did not complete in time.
sock_t connect_within(uint16_t port, int ms) {
    sock_t s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    pollfd done{s, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&done, 1, ms) != 1 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err) {
        sock_close(s);
        return SOCK_INVALID;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
    return s;
}

// One byte from `fd` within `ms`.
bool read_within(int fd, char *byte, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && read(fd, byte, 1) == 1;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The descriptor number the next socket would get.
int lowest_free_descriptor() {
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

// Lowers (or raises) the soft limit of descriptors for the life of the object.
struct descriptor_limit {
    rlimit old{};
    explicit descriptor_limit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit now = old;
        now.rlim_cur = soft < old.rlim_max ? soft : old.rlim_max;
        setrlimit(RLIMIT_NOFILE, &now);
    }
    ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &old); }
};

// Sets "TCP-Connections" and the idle limit for one test.
struct tcp_settings {
    uint32_t connections = config.tcp_connections, idle = tcp_idle_ms.load();
    tcp_settings(uint32_t c, uint32_t idle_ms) {
        config.tcp_connections = c;
        tcp_idle_ms.store(idle_ms);
    }
    ~tcp_settings() {
        config.tcp_connections = connections;
        tcp_idle_ms.store(idle);
    }
};

class SelectLoop : public ::testing::Test {
   protected:
    void SetUp() override {
        xprt_stop.store(0);
        xprt_reset();
        ASSERT_TRUE(reg_.ok);
    }
    void TearDown() override {
        xprt_close_all();
        if (loop_.joinable()) loop_.join();
        xprt_stop.store(0);
    }
    // A UDP record on a free loopback port, registered with the loop.
    uint16_t add_udp() {
        sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
        uint16_t port = rpc_sock_port(s);
        xprt_add(xprt_create(s, RPC_UDP, port, 1000));
        return port;
    }
    // A listener whose connections get message areas of `size`.
    uint16_t add_tcp(uint32_t size = 1000) {
        sock_t s = tcp_listen_socket("127.0.0.1", 0);
        uint16_t port = rpc_sock_port(s);
        xprt *xp = xprt_create(s, RPC_TCP, port, 0);
        xp->size = size;
        xprt_add(xp);
        return port;
    }
    void run() { loop_ = std::thread(select_loop); }
    std::thread loop_;
    xprt dummy_{};
    toy_registration reg_{&dummy_, 1, RPC_UDP};
};

std::atomic<int> sweeps{0};
void count_sweep() {
    sweeps.fetch_add(1);
}

TEST_F(SelectLoop, ServesUdpAndTcpThenStopsAtOnceFromAnotherThread) {
    uint16_t udp = add_udp(), tcp = add_tcp(), sizeless = add_tcp(0);
    log_capture log;
    sweeps.store(0);
    select_loop_sweep = count_sweep;
    run();
    // A peer that connects and says nothing holds only its own thread.
    sock_t silent = rpc_tcp_connect(tcp);
    ASSERT_NE(silent, SOCK_INVALID);
    auto r = rpc_udp_call(udp, null_call(11));
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(rpc_msg_word_at(r, 0), 11u);
    sock_t c = rpc_tcp_connect(tcp);
    ASSERT_NE(c, SOCK_INVALID);
    ASSERT_TRUE(rpc_tcp_send(c, rpc_msg_args(12, TOY_PROG, 1, TOY_ECHO, {5, 6})));
    r = rpc_tcp_recv(c);
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(rpc_msg_word_at(r, 7), 6u);
    sock_close(c);
    // A listener without a connection size closes what it accepts at once.
    c = rpc_tcp_connect(sizeless);
    EXPECT_TRUE(rpc_tcp_closed(c));
    sock_close(c);
    // The loop sits in a 2-second select; closing must not wait for it.
    auto start = clock_type::now();
    xprt_close_all();
    loop_.join();
    EXPECT_LT(clock_type::now() - start, 1000ms);
    select_loop_sweep = nullptr;
    EXPECT_GE(sweeps.load(), 2) << "one sweep per pass";
    EXPECT_EQ(log.text(), "nfsd: tcp create error\n");
    sock_close(silent);
    EXPECT_TRUE(udp_port_free(udp));
    sock_t again = tcp_listen_socket("127.0.0.1", tcp);
    EXPECT_NE(again, SOCK_INVALID) << "listening socket closed";
    sock_close(again);
}

TEST_F(SelectLoop, RecordsBeyond64SocketsAreNeverServed) {
    std::vector<uint16_t> ports;
    for (int i = 0; i < 65; i++) ports.push_back(add_udp());
    run();
    EXPECT_EQ(rpc_udp_call(ports[63], null_call(1)).size(), 24u);
    EXPECT_TRUE(rpc_udp_call(ports[64], null_call(2), 300).empty());
}

TEST_F(SelectLoop, ASocketBeyondAnFdSetIsServed) {
    const int high = FD_SETSIZE + 76;
    descriptor_limit room(high + 10);
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    uint16_t port = rpc_sock_port(s);
    ASSERT_EQ(dup2(s, high), high);
    sock_close(s);
    xprt_add(xprt_create(high, RPC_UDP, port, 1000));
    run();
    EXPECT_EQ(rpc_msg_word_at(rpc_udp_call(port, null_call(5), 2000), 0), 5u);
}

TEST_F(SelectLoop, ConnectionsBeyondTheBoundCloseTheLongestIdle) {
    tcp_settings bound(4, 60000);
    uint16_t port = add_tcp();
    run();
    std::vector<sock_t> c;
    for (uint32_t i = 0; i < 4; i++) {
        c.push_back(rpc_tcp_connect(port));
        ASSERT_TRUE(tcp_null(c[i], i));
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(tcp_null(c[0], 10));  // c[1] is now the longest idle
    std::this_thread::sleep_for(20ms);
    c.push_back(rpc_tcp_connect(port));
    EXPECT_TRUE(tcp_null(c[4], 11));
    EXPECT_TRUE(rpc_tcp_closed(c[1]));
    for (uint32_t i : {0u, 2u, 3u, 4u}) EXPECT_TRUE(tcp_null(c[i], 20 + i)) << i;
    for (sock_t s : c) sock_close(s);
}

TEST_F(SelectLoop, ConnectionsWithoutACompleteRecordAreClosed) {
    tcp_settings idle(16, 400);
    uint16_t port = add_tcp();
    run();
    sock_t silent = rpc_tcp_connect(port), trickle = rpc_tcp_connect(port);
    sock_t busy = rpc_tcp_connect(port);
    // A record announced and then fed a byte every 100 ms never completes.
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        rpc_bytes mark = rpc_msg_bytes({0x80000000u | 400});
        send(trickle, mark.data(), 4, MSG_NOSIGNAL);
        uint8_t byte = 0;
        while (!done && send(trickle, &byte, 1, MSG_NOSIGNAL) == 1)
            std::this_thread::sleep_for(100ms);
    });
    for (uint32_t i = 0; i < 12; i++) {
        EXPECT_TRUE(tcp_null(busy, i)) << "a connection in use stays, call " << i;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(rpc_tcp_closed(silent, 3000));
    EXPECT_TRUE(rpc_tcp_closed(trickle, 3000));
    done = true;
    feeder.join();
    for (sock_t s : {silent, trickle, busy}) sock_close(s);
}

// Twice the bound of idle connections, from another process, against a
// descriptor limit that only the bound keeps the loop inside: a real
// client still gets through and the loop stays near idle meanwhile.
TEST_F(SelectLoop, IdleConnectionsNeitherExhaustDescriptorsNorLockOutAClient) {
    const uint32_t bound = 16;
    tcp_settings settings(bound, 60000);
    uint16_t port = add_tcp();
    int go[2], back[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(back), 0);
    pid_t child = fork();
    if (child == 0) {
        char byte;
        if (read(go[0], &byte, 1) != 1) _exit(1);
        std::vector<sock_t> idle;
        // As an attacker would: each connection completed (or given up)
        // before the next.
        for (uint32_t i = 0; i < 2 * bound; i++) idle.push_back(connect_within(port, 200));
        std::this_thread::sleep_for(300ms);
        byte = 'A';
        if (write(back[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(1);
        sock_t real = connect_within(port, 3000);
        byte = real != SOCK_INVALID && tcp_null(real, 99) ? 'Y' : 'N';
        _exit(write(back[1], &byte, 1) == 1 ? 0 : 1);
    }
    char answer = 0;
    double spent = 0;
    {
        descriptor_limit low(rlim_t(lowest_free_descriptor()) + bound + 8);
        run();
        char byte = 'G';
        EXPECT_EQ(write(go[1], &byte, 1), 1);
        EXPECT_TRUE(read_within(back[0], &byte, 10000));
        double cpu = cpu_seconds();
        std::this_thread::sleep_for(1000ms);
        spent = cpu_seconds() - cpu;
        EXPECT_EQ(write(go[1], &byte, 1), 1);
        EXPECT_TRUE(read_within(back[0], &answer, 8000));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(answer, 'Y') << "the real client was served";
    EXPECT_LT(spent, 0.3) << "seconds of CPU in one second of idle connections";
    for (int fd : {go[0], go[1], back[0], back[1]}) close(fd);
}

TEST_F(SelectLoop, OutOfDescriptorsTheListenerRestsInsteadOfSpinning) {
    uint16_t port = add_tcp();
    log_capture log;  // before the loop reads the level
    run();
    sock_t c = socket(AF_INET, SOCK_STREAM, 0);  // made while there is room
    double spent;
    {
        descriptor_limit none{rlim_t(lowest_free_descriptor())};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(c, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        ASSERT_TRUE(rpc_tcp_send(c, null_call(7)));
        double cpu = cpu_seconds();
        std::this_thread::sleep_for(1000ms);
        spent = cpu_seconds() - cpu;
    }
    EXPECT_LT(spent, 0.3) << "seconds of CPU in one second without descriptors";
    EXPECT_EQ(rpc_msg_word_at(rpc_tcp_recv(c, 3000), 0), 7u) << "served once there is room";
    EXPECT_NE(log.text().find("nfsd: tcp accept: out of descriptors\n"), std::string::npos);
    sock_close(c);
}

TEST_F(SelectLoop, AnEmptySetEndsTheLoopWithAFatalError) {
    log_capture log;
    select_loop();
    EXPECT_EQ(log.text(), "nfsd: fatal read error 22\n");
}

}  // namespace
