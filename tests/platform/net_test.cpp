// Datagrams that know their destination, on every host: a reply leaves from
// the address the call came to, so a client that called one of several
// addresses (and so filters on it, as a connected socket does) hears it.
#include "platform/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

sockaddr_in ipv4(const char *dotted, uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = inet_addr(dotted);
    return at;
}

// A server socket on every address, reporting destinations; its port.
sock_t server_socket(uint16_t *port, sock_t s = socket(AF_INET, SOCK_DGRAM, 0)) {
    EXPECT_NE(s, SOCK_INVALID);
    EXPECT_TRUE(sock_report_destination(s));
    sockaddr_in at = ipv4("0.0.0.0", 0);
    EXPECT_EQ(bind(s, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
    socklen_t len = sizeof at;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&at), &len), 0);
    *port = ntohs(at.sin_port);
    return s;
}

// Receives one datagram within `ms`; its length or -1.
long receive(sock_t s, char *buf, uint32_t size, int ms) {
    sock_wait w{s, false};
    if (sock_poll(&w, 1, ms) != 1) return -1;
    return recv(s, buf, size, 0);
}

// A call made to a broadcast or multicast address cannot be answered from
// it: routing picks the source, and the client still hears the reply. (That
// a reply leaves from the address called is SelectLoop's.)
TEST(Datagrams, ABroadcastOrMulticastDestinationIsNoSource) {
    uint16_t port = 0;
    sock_t server = server_socket(&port);
    for (const char *source : {"255.255.255.255", "224.0.0.1"}) {
        SCOPED_TRACE(source);
        sock_t client = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to = ipv4("127.0.0.1", port);
        ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        ASSERT_EQ(send(client, "call", 4, 0), 4);
        char buf[64];
        sockaddr_in peer{};
        socklen_t peer_len = sizeof peer;
        uint32_t local = 0;
        ASSERT_EQ(sock_recv_datagram(server, buf, sizeof buf, &peer, &peer_len, &local), 4);
        EXPECT_EQ(local, inet_addr("127.0.0.1"));
        EXPECT_EQ(sock_send_datagram(server, "reply", 5, &peer, peer_len, inet_addr(source)), 5);
        EXPECT_EQ(receive(client, buf, sizeof buf, 500), 5);
        sock_close(client);
    }
    sock_close(server);
}

// Several threads receiving on one socket, each through a receiver of its
// own, as the NFS workers do: every datagram of several clients sending at
// once is answered once, by a receiver that holds its own datagram while the
// others hold theirs, and with the address its client called; one larger
// than the buffer is cut to it; and a shutdown ends every waiting receive
// promptly, after which the port is free.
TEST(SharedDatagrams, ReceiversServeSeveralClientsAndEndOnShutdown) {
    constexpr int RECEIVERS = 4, CLIENTS = 4, EACH = 50;
    constexpr uint32_t BUFFER = 64;
    uint16_t port = 0;
    sock_t s = server_socket(&port, sock_shared_datagram());
    std::atomic<int> holding{0}, ended{0};
    std::vector<std::thread> receivers;
    for (int i = 0; i < RECEIVERS; i++)
        receivers.emplace_back([&] {
            sock_receiver *r = sock_receiver_open(s);
            ASSERT_NE(r, nullptr);
            char buf[BUFFER];
            sockaddr_in peer{};
            socklen_t peer_len = sizeof peer;
            uint32_t local = 0;
            for (long n, served = 0;
                 (n = sock_receiver_recv(r, buf, BUFFER, &peer, &peer_len, &local)) > 0;) {
                // Each holds its first datagram until all hold one (or 5 s
                // pass): one receiver serving alone would never meet the others.
                if (served++ == 0) {
                    holding++;
                    for (int t = 0; t < 500 && holding.load() < RECEIVERS; t++)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                // Odd clients call 127.0.0.2.
                if (buf[0] != 'x') {
                    EXPECT_EQ(local, inet_addr(buf[0] % 2 ? "127.0.0.2" : "127.0.0.1"));
                }
                sock_send_datagram(s, buf, uint32_t(n), &peer, peer_len, local);
            }
            sock_receiver_close(r);
            ended++;
        });

    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&, c] {
            // Not connected: where the host ignores a reply's source (Wine 8
            // does) the reply still arrives.
            sock_t k = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to = ipv4(c % 2 ? "127.0.0.2" : "127.0.0.1", port);
            auto put = [&](const std::string &m) {
                return sendto(k, static_cast<const void *>(m.data()), m.size(), 0,
                              reinterpret_cast<const sockaddr *>(&to), sizeof to) == long(m.size());
            };
            std::vector<std::string> sent, heard;
            for (int i = 0; i < EACH; i++) {
                sent.push_back(std::to_string(c) + "/" + std::to_string(i));
                ASSERT_TRUE(put(sent.back()));
            }
            char buf[256];
            for (long n; heard.size() < sent.size() && (n = receive(k, buf, sizeof buf, 8000)) > 0;)
                heard.emplace_back(buf, size_t(n));
            std::sort(sent.begin(), sent.end());
            std::sort(heard.begin(), heard.end());
            EXPECT_EQ(heard, sent) << "client " << c;
            if (c == 0) {  // cut to the receiver's buffer, and still answered
                ASSERT_TRUE(put(std::string(200, 'x')));
                EXPECT_EQ(receive(k, buf, sizeof buf, 5000), long(BUFFER));
            }
            sock_close(k);
        });
    for (auto &c : clients) c.join();
    EXPECT_EQ(holding.load(), RECEIVERS) << "the receivers did not hold datagrams at once";

    // All wait again; a shutdown ends them within a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto began = std::chrono::steady_clock::now();
    shutdown(s, SHUT_RDWR);
    for (int t = 0; t < 300 && ended.load() < RECEIVERS; t++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    if (ended.load() < RECEIVERS) {
        for (auto &r : receivers) r.detach();  // a hung receive must not hang the suite
        FAIL() << ended.load() << " receivers ended";
    }
    for (auto &r : receivers) r.join();
    EXPECT_EQ(sock_close(s), 0);
    sock_t again = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = ipv4("127.0.0.1", port);
    EXPECT_EQ(bind(again, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0)
        << "port still bound";
    sock_close(again);
}

}  // namespace
