// The loop and its TCP transport: calls served on descriptors beyond an
// fd_set, closing from another thread, records joined from fragments (and
// those that do not fit, stall or never end), calls sent ahead, and clients
// that try to exhaust the loop's connections or descriptors.
#include "rpc/loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <ctime>
#include <random>
#include <thread>

#include "base/config.h"
#include "support/config_guard.h"
#include "support/log_capture.h"
#include "support/rpc_msg.h"
#include "support/toy_program.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
constexpr uint32_t LAST = 0x80000000u;

rpc_bytes null_call(uint32_t xid) {
    return rpc_msg_call(xid, TOY_PROG, 1, TOY_ECHO);
}

// A NULL call over an open connection; true when it was answered.
bool tcp_null(sock_t s, uint32_t xid) {
    return rpc_tcp_send(s, null_call(xid)) && rpc_tcp_recv(s, 3000).size() == 24;
}

// Seconds of this process's CPU in one second of waiting.
double cpu_in_one_second() {
    clock_t cpu = clock();
    std::this_thread::sleep_for(1000ms);
    return double(clock() - cpu) / CLOCKS_PER_SEC;
}

// The descriptor number the next socket would get.
int lowest_free_descriptor() {
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

// Connects socket `s` to `host`:port; true on success.
bool connect_to(sock_t s, uint16_t port, const char *host = "127.0.0.1") {
    sockaddr_in to{AF_INET, htons(port), {inet_addr(host)}, {}};
    return connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
}

// Lowers (or raises) the soft limit of descriptors for the life of the object.
struct descriptor_limit {
    rlimit old{};
    explicit descriptor_limit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit now = old;
        now.rlim_cur = std::min(soft, old.rlim_max);
        setrlimit(RLIMIT_NOFILE, &now);
    }
    ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &old); }
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
        tcp_idle_ms.store(idle_);
    }
    // A UDP record on a free loopback port, registered with the loop.
    uint16_t add_udp(sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0)) {
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
    // The settings and the idle limit, restored after the test.
    config_guard config_;
    uint32_t idle_ = tcp_idle_ms.load();
    xprt dummy_{};
    toy_registration reg_{&dummy_, 1, RPC_UDP};
};

std::atomic<int> sweeps{0};

// The 64th record sits on a descriptor beyond an fd_set and is served; a
// 65th is never served.
TEST_F(SelectLoop, ServesRecordsBeyondAnFdSetThenStopsAtOnceFromAnotherThread) {
    const int high = FD_SETSIZE + 76;
    descriptor_limit room(high + 10);
    uint16_t tcp = add_tcp(), sizeless = add_tcp(0), udp = add_udp();
    for (int i = 0; i < 60; i++) add_udp();
    ASSERT_EQ(dup2(udp_socket(htonl(INADDR_LOOPBACK), 0), high), high);
    uint16_t beyond = add_udp(high), unserved = add_udp();
    log_capture log;
    sweeps.store(0);
    select_loop_sweep = [] { sweeps.fetch_add(1); };
    run();
    // A peer that connects and says nothing holds only its own thread.
    sock_t silent = rpc_tcp_connect(tcp);
    ASSERT_NE(silent, SOCK_INVALID);
    EXPECT_EQ(rpc_msg_word_at(rpc_udp_call(beyond, null_call(5), 2000), 0), 5u);
    EXPECT_TRUE(rpc_udp_call(unserved, null_call(2), 300).empty());
    // A listener without a connection size closes what it accepts at once.
    sock_t c = rpc_tcp_connect(sizeless);
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
    for (sock_t s : {udp_socket(htonl(INADDR_LOOPBACK), udp), tcp_listen_socket(nullptr, tcp)}) {
        EXPECT_NE(s, SOCK_INVALID) << "socket closed";
        sock_close(s);
    }
}

// The bound is reached: the longest idle connection goes; a host over its
// share (a quarter of the bound) disconnects only its own.
TEST_F(SelectLoop, TheLongestIdleGoesBeyondTheBoundAndConnectionsWithoutARecordClose) {
    config.tcp_connections = 4;
    tcp_idle_ms.store(600);
    uint16_t port = add_tcp();
    run();
    std::vector<sock_t> c;
    const char *hosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
    for (uint32_t i = 0; i < 4; i++) {
        c.push_back(rpc_tcp_connect(port, hosts[i]));
        ASSERT_TRUE(tcp_null(c[i], i));
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(tcp_null(c[0], 10));  // c[1] is now the longest idle
    std::this_thread::sleep_for(20ms);
    c.push_back(rpc_tcp_connect(port, hosts[0]));
    EXPECT_TRUE(tcp_null(c[4], 11));
    EXPECT_TRUE(rpc_tcp_closed(c[0])) << "the host's own connection went";
    c.push_back(rpc_tcp_connect(port, "127.0.0.5"));
    EXPECT_TRUE(tcp_null(c[5], 12));
    EXPECT_TRUE(rpc_tcp_closed(c[1])) << "the longest idle went";
    for (uint32_t i : {2u, 3u, 4u, 5u}) EXPECT_TRUE(tcp_null(c[i], 20 + i)) << i;
    for (sock_t s : c) sock_close(s);
    // A silent peer and a record announced, then fed a byte every 100 ms,
    // are closed; a connection in use stays.
    sock_t silent = rpc_tcp_connect(port, "127.0.0.6");
    sock_t trickle = rpc_tcp_connect(port, "127.0.0.7"), busy = rpc_tcp_connect(port, "127.0.0.8");
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        rpc_bytes mark = rpc_msg_bytes({LAST | 400});
        send(trickle, mark.data(), 4, MSG_NOSIGNAL);
        uint8_t byte = 0;
        while (!done && send(trickle, &byte, 1, MSG_NOSIGNAL) == 1)
            std::this_thread::sleep_for(100ms);
    });
    for (uint32_t i = 0; i < 16; i++) {
        EXPECT_TRUE(tcp_null(busy, i)) << "call " << i;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(rpc_tcp_closed(silent, 3000));
    EXPECT_TRUE(rpc_tcp_closed(trickle, 3000));
    done = true;
    feeder.join();
    for (sock_t s : {silent, trickle, busy}) sock_close(s);
}

// Out of descriptors the listener rests instead of spinning. Idle
// connections to one port, enough to use up the descriptors, lock out no
// other port: a reserve is kept, and when short the longest idle connection
// of any listener goes; the reserve leaves requests room to open files.
TEST_F(SelectLoop, DescriptorsRunningShortCostNoCpuAndLeaveRoom) {
    uint16_t crowded = add_tcp(), other = add_tcp();
    log_capture log;  // before the loop reads the level
    run();
    // The clients' own sockets are made while there is room, bound to four
    // addresses so that no address reaches its share of the connections.
    std::vector<sock_t> idle(50);
    for (size_t i = 0; i < idle.size(); i++) {
        idle[i] = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{AF_INET, 0, {htonl(INADDR_LOOPBACK + 10 + i % 4)}, {}};
        ASSERT_EQ(bind(idle[i], reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    }
    sock_t first = socket(AF_INET, SOCK_STREAM, 0), late = socket(AF_INET, SOCK_STREAM, 0);
    {
        descriptor_limit none{rlim_t(lowest_free_descriptor())};
        ASSERT_TRUE(connect_to(first, crowded));
        ASSERT_TRUE(rpc_tcp_send(first, null_call(7)));
        EXPECT_LT(cpu_in_one_second(), 0.3) << "seconds of CPU in one second without descriptors";
    }
    EXPECT_EQ(rpc_msg_word_at(rpc_tcp_recv(first, 3000), 0), 7u) << "served once there is room";
    EXPECT_NE(log.text().find("nfsd: tcp accept: out of descriptors\n"), std::string::npos);
    {
        // The server has 40 descriptors for everything it accepts, fewer
        // than the idle connections: once the listener has taken all it can,
        // what still waits on its port must not make it spin.
        descriptor_limit low(rlim_t(lowest_free_descriptor()) + 40);
        for (sock_t c : idle) connect_to(c, crowded);
        std::this_thread::sleep_for(1000ms);
        EXPECT_LT(cpu_in_one_second(), 0.3) << "seconds of CPU in one second of idle connections";
        std::vector<int> files;
        for (int fd; files.size() < 4 && (fd = open("/dev/null", O_RDONLY)) >= 0;)
            files.push_back(fd);
        EXPECT_EQ(files.size(), 4u) << "files a request could still open";
        for (int fd : files) close(fd);
        ASSERT_TRUE(connect_to(late, other));
        EXPECT_TRUE(tcp_null(late, 42)) << "the other port was served";
    }
    for (sock_t c : idle) sock_close(c);
    for (sock_t c : {first, late}) sock_close(c);
}

// A connected pair: `xp` wraps one end in a TCP record of message area
// `size` (xprt_create adds 512), `client` is the peer's end.
struct tcp_pair {
    xprt *xp = nullptr;
    sock_t client = SOCK_INVALID;
    explicit tcp_pair(uint32_t size) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
        client = sv[1];
        xp = xprt_create(sv[0], RPC_TCP, 0, size);
        xp->peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // the peer the log names
    }
    ~tcp_pair() {
        if (xp) sock_close(xp->sock), xprt_free(xp);
        if (client != SOCK_INVALID) sock_close(client);
    }
    bool send_raw(const rpc_bytes &b) {
        return send(client, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    rpc_bytes received() const { return {xp->msg, xp->msg + xp->count}; }
};

rpc_bytes pattern(size_t n) {
    rpc_bytes m(n);
    for (size_t i = 0; i < n; i++) m[i] = uint8_t(i * 7 + 1);
    return m;
}

TEST(TcpRecord, FragmentsJoinIntoOneRecordThatMustFitArriveWholeAndEndAndLongRepliesSplit) {
    // The waits must hold for a descriptor beyond the reach of an fd_set, as
    // a busy server's client calls get.
    const int high = FD_SETSIZE + 100;
    descriptor_limit room(high + 10);
    log_capture log;
    // A size of 100 makes 612: a record may hold 608 bytes.
    const rpc_bytes full = pattern(608), word = rpc_msg_bytes({0xABCD});
    // Empty fragments, then a last one of one word.
    rpc_words empty_most(TCP_FRAGMENTS_MAX, 0), empty_too_many(TCP_FRAGMENTS_MAX + 1, 0);
    empty_most.back() = empty_too_many.back() = 4;
    struct row {
        rpc_bytes wire, want;  // want: the record received; empty: refused
        bool leave;            // the peer closes after sending
    } rows[] = {
        {rpc_tcp_record(full, {3, 0, 97, 508}), full, false},
        {rpc_tcp_record(pattern(609), {600, 9}), {}, false},
        {rpc_msg_bytes({LAST | 609}), {}, false},
        {rpc_msg_bytes({100, 1, 2, 3}), {}, true},
        {rpc_msg_bytes({100, 1, 2, 3}), {}, false},  // stalls
        {rpc_tcp_record(word, empty_most), word, false},
        // Or a peer could keep a thread busy for ever without sending a call.
        {rpc_tcp_record(word, empty_too_many), {}, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(&r - rows);
        tcp_pair pair(100);
        ASSERT_EQ(dup2(pair.xp->sock, high), high);
        sock_close(pair.xp->sock);
        pair.xp->sock = high;
        ASSERT_TRUE(pair.send_raw(r.wire));
        if (r.leave) shutdown(pair.client, SHUT_WR);
        ASSERT_EQ(tcp_receive_record(pair.xp, 300), !r.want.empty());
        EXPECT_TRUE(r.want.empty() || pair.received() == r.want);
    }
    EXPECT_EQ(log.text(),
              "RPC tcp receive timeout\n"
              "rpc: tcp record in more than 1024 fragments from 127.0.0.1, connection closed\n");

    // A reply longer than the buffer less 4 bytes leaves in fragments of at
    // most that size, only the last marked as last, and the bytes the marks
    // borrowed are put back.
    tcp_pair pair(100);
    rpc_bytes body = pattern(612);
    memcpy(pair.xp->msg, body.data(), body.size());
    pair.xp->count = 612;
    ASSERT_GT(rpc_send(pair.xp), 0);
    rpc_bytes wire(620);
    ASSERT_EQ(recv(pair.client, wire.data(), wire.size(), MSG_WAITALL), 620);
    EXPECT_EQ(wire, rpc_tcp_record(body, {608, 4}));
    EXPECT_EQ(rpc_bytes(pair.xp->msg, pair.xp->msg + 612), body);
}

}  // namespace

// One connection's calls are served side by side, up to "Threads" at once:
// a slow call does not hold back a quick one sent behind it, each reply
// carries its own xid and is sent once, a connection at its bound reads no
// further until a call of its own ends, and one closed while its calls are
// in flight sends nothing to anybody else. A quick call with nothing sent
// behind it is served by its reader, which reads on only after it.
TEST_F(SelectLoop, OneConnectionsCallsAreServedSideBySideWithinTheBound) {
    config.threads = 4;
    uint16_t port = add_tcp(500);  // a record may hold 1008 bytes
    config.threads = 2;
    uint16_t narrow = add_tcp();
    run();
    auto gate = [](uint32_t xid) { return rpc_msg_call(xid, TOY_PROG, 1, TOY_GATE); };
    auto echo = [](uint32_t xid) { return rpc_msg_args(xid, TOY_PROG, 1, TOY_ECHO, {xid * 3}); };
    // Replies within the time, by xid: the results (the gate's count of
    // calls inside, the echoed words).
    using answers = std::map<uint32_t, rpc_words>;
    auto replies = [](sock_t s, size_t n, int timeout_ms) {
        answers got;
        for (size_t i = 0; i < n; i++) {
            rpc_words r = rpc_msg_words(rpc_tcp_recv(s, timeout_ms));
            if (r.size() < 6) break;
            EXPECT_EQ(got.count(r[0]), 0u) << "a second reply";
            got[r[0]] = rpc_words(r.begin() + 6, r.end());
        }
        return got;
    };

    sock_t c = rpc_tcp_connect(port);
    ASSERT_TRUE(rpc_tcp_send(c, gate(1)) && rpc_tcp_send(c, echo(2)));
    EXPECT_EQ(replies(c, 1, 2000), (answers{{2, {6}}})) << "the quick call passed the slow one";
    for (uint32_t xid : {3, 4, 5}) ASSERT_TRUE(rpc_tcp_send(c, gate(xid)));
    EXPECT_EQ(replies(c, 4, 2000), (answers{{1, {4}}, {3, {4}}, {4, {4}}, {5, {4}}}));

    // Calls sent ahead, of every length up to a full record, in up to four
    // fragments of random sizes and arriving in pieces of any size (the
    // receive moves what it has to make room): each answered once, with its
    // own bytes.
    std::mt19937 rng(7);
    rpc_bytes burst;
    answers want;
    for (uint32_t xid = 100; xid < 400; xid++) {
        rpc_words args{xid * 3};
        uint32_t words = xid % 50 == 0 ? (1008 - 40) / 4 : rng() % 60;
        while (args.size() < words) args.push_back(rng());
        rpc_bytes call = rpc_msg_args(xid, TOY_PROG, 1, TOY_ECHO, args);
        rpc_words sizes;
        uint32_t left = uint32_t(call.size()), pieces = 1 + rng() % 4;
        for (uint32_t p = 1; p < pieces; p++) {
            sizes.push_back(rng() % (left + 1));
            left -= sizes.back();
        }
        sizes.push_back(left);
        rpc_bytes record = rpc_tcp_record(call, sizes);
        burst.insert(burst.end(), record.begin(), record.end());
        want[xid] = args;
    }
    for (size_t at = 0, n; at < burst.size(); at += n) {
        n = std::min<size_t>(1 + rng() % 1500, burst.size() - at);
        ASSERT_EQ(send(c, burst.data() + at, n, MSG_NOSIGNAL), ssize_t(n));
    }
    EXPECT_EQ(replies(c, want.size() + 1, 2000), want);

    // At its bound the connection waits: two gates fill it, so the echo
    // behind them is read only once gates from elsewhere open them.
    toy_reset();
    sock_t bounded = rpc_tcp_connect(narrow);
    for (uint32_t xid : {10, 11}) ASSERT_TRUE(rpc_tcp_send(bounded, gate(xid)));
    ASSERT_TRUE(rpc_tcp_send(bounded, echo(12)));
    EXPECT_TRUE(replies(bounded, 1, 300).empty());
    // A connection closed while its gates are inside: its replies go
    // nowhere, and the other connection gets exactly its own.
    sock_t closing = rpc_tcp_connect(port);
    ASSERT_TRUE(rpc_tcp_send(closing, gate(20)));
    std::this_thread::sleep_for(100ms);
    sock_close(closing);
    ASSERT_TRUE(rpc_tcp_send(c, gate(21)));
    EXPECT_EQ(replies(c, 2, 2000), (answers{{21, {4}}}));
    EXPECT_EQ(replies(bounded, 4, 2000), (answers{{10, {4}}, {11, {4}}, {12, {36}}}));
    EXPECT_TRUE(tcp_null(c, 30) && tcp_null(bounded, 31));

    // Pairs wait for a second one: alone, the one behind is read only after
    // the first gave up; sent together, they meet.
    auto pair = [](uint32_t xid) { return rpc_msg_call(xid, TOY_PROG, 1, TOY_PAIR); };
    toy_reset();
    ASSERT_TRUE(rpc_tcp_send(c, pair(40)));
    for (int i = 0; i < 200 && toy_runs.load() == 0; i++) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(rpc_tcp_send(c, pair(41)));
    EXPECT_EQ(replies(c, 2, 2000), (answers{{40, {1}}, {41, {2}}}));
    toy_reset();
    rpc_bytes both = rpc_tcp_record(pair(42), {}), second = rpc_tcp_record(pair(43), {});
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_EQ(send(c, both.data(), both.size(), MSG_NOSIGNAL), ssize_t(both.size()));
    EXPECT_EQ(replies(c, 2, 2000), (answers{{42, {2}}, {43, {2}}}));
    sock_close(c);
    sock_close(bounded);
}
