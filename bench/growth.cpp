// Growth curves: the cost per entry of LOOKUP, GETATTR, CREATE and a whole
// READDIRPLUS listing (by cookies, as a client lists) in one directory of
// 1,000, 10,000 and 100,000 files, and of handle resolution with an inode
// table of 1,000 and of 1,000,000 records. Calls go over UDP to the version
// 3 program on one worker, one at a time, as a client sends them. Each
// figure is the best of three passes; the last column is the largest size's
// cost over the smallest's, which must stay within 2.
//
//   growth [sizes...]        (default 1000 10000 100000)
// NIMBORA_BENCH_DIR chooses the file system (default /tmp).
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_null.h"
#include "base/config.h"
#include "exports/export.h"
#include "fh/fh.h"
#include "inode/inode.h"
#include "nfsd/cache.h"
#include "nfsd/nfs.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t SAMPLE = 2000;  // calls timed per LOOKUP, GETATTR and CREATE figure
constexpr uint32_t LISTING = 32768;

void put_word(std::vector<uint8_t> &m, uint32_t v) {
    uint8_t b[4];
    xdr_put_u32(b, v);
    m.insert(m.end(), b, b + 4);
}
void put_fh3(std::vector<uint8_t> &m, const uint8_t *fh) {
    put_word(m, FH3_SIZE);
    m.insert(m.end(), fh, fh + FH3_SIZE);
}
void put_name(std::vector<uint8_t> &m, const std::string &n) {
    put_word(m, uint32_t(n.size()));
    m.insert(m.end(), n.begin(), n.end());
    while (m.size() % 4) m.push_back(0);
}
uint32_t get_word(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return ntohl(v);
}

struct caller {
    sock_t s;
    sockaddr_in to{};
    uint32_t xid = 1;
    uint8_t reply[70000];

    // Sends one version 3 call (AUTH_UNIX root) and answers the reply's
    // body after the accepted-reply header and its NFS status, or null.
    const uint8_t *call(uint32_t proc, const std::vector<uint8_t> &args, ssize_t *len) {
        std::vector<uint8_t> m;
        for (uint32_t w : {++xid, 0u, 2u, NFS_PROG, NFS_V3, proc, 1u, 28u, 1u, 5u}) put_word(m, w);
        m.insert(m.end(), {'b', 'e', 'n', 'c', 'h', 0, 0, 0});
        for (uint32_t w : {0u, 0u, 0u, 0u, 0u}) put_word(m, w);
        m.insert(m.end(), args.begin(), args.end());
        sendto(s, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        for (;;) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 60000) != 1) return nullptr;  // a first listing scans the folder
            ssize_t r = recv(s, reply, sizeof reply, 0);
            if (r < 28 || get_word(reply) != xid) continue;
            if (get_word(reply + 20) != 0 || get_word(reply + 24) != 0) return nullptr;
            *len = r - 28;
            return reply + 28;
        }
    }
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best of three passes of `pass`, in microseconds per `per`.
template <typename F>
double best_us(uint32_t per, F pass) {
    double best = 1e30;
    for (int round = 0; round < 3; round++) {
        double t0 = now();
        if (!pass(round)) return -1;
        best = std::min(best, now() - t0);
    }
    return best * 1e6 / per;
}

std::string name_of(uint32_t i) {
    char b[32];
    snprintf(b, sizeof b, "file%06u.txt", i);
    return b;
}

// A whole READDIRPLUS listing by cookies; false on a failed call.
bool list_all(caller &c, const uint8_t *dir, uint32_t expect) {
    uint64_t cookie = 0;
    uint8_t verf[8] = {};
    uint32_t entries = 0;
    for (;;) {
        std::vector<uint8_t> a;
        put_fh3(a, dir);
        put_word(a, uint32_t(cookie >> 32));
        put_word(a, uint32_t(cookie));
        a.insert(a.end(), verf, verf + 8);
        put_word(a, LISTING);
        put_word(a, LISTING);
        ssize_t len;
        const uint8_t *p = c.call(17, a, &len);
        if (!p) return false;
        const uint8_t *end = p + len;
        if (get_word(p)) p += 4 + 84; else p += 4;  // directory attributes
        memcpy(verf, p, 8);
        p += 8;
        while (p + 4 <= end && get_word(p)) {
            uint32_t nlen = get_word(p + 12);
            p += 16 + (nlen + 3) / 4 * 4;
            cookie = (uint64_t(get_word(p)) << 32) | get_word(p + 4);
            p += 8;
            if (get_word(p)) p += 4 + 84; else p += 4;
            if (get_word(p)) p += 8 + (get_word(p + 4) + 3) / 4 * 4; else p += 4;
            entries++;
        }
        if (p + 8 > end) return false;
        if (get_word(p + 4)) break;  // eof
    }
    return entries >= expect;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<uint32_t> sizes;
    for (int i = 1; i < argc; i++) sizes.push_back(uint32_t(atoi(argv[i])));
    if (sizes.empty()) sizes = {1000, 10000, 100000};

    const char *base_dir = getenv("NIMBORA_BENCH_DIR") ? getenv("NIMBORA_BENCH_DIR") : "/tmp";
    std::string home = std::string(base_dir) + "/growth-XXXXXX";
    if (!mkdtemp(home.data())) return 1;
    std::string root = home + "/c";
    mkdir(root.c_str(), 0755);
    for (uint32_t n : sizes) {
        std::string d = root + "/d" + std::to_string(n);
        mkdir(d.c_str(), 0755);
        for (uint32_t i = 0; i < n; i++) close(open((d + "/" + name_of(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    std::ofstream(home + "/exports") << "c:\\ -maproot:0\n";
    program_directory_set(home.c_str());
    config_load("nfsd");
    config.datasize = 65536;
    drive_clear();
    drive_map("C", root.c_str(), 3, 0);
    if (!inode_table_init()) return 1;
    exports_read();
    nfs_service_init();
    if (!export_list) return 1;
    uint32_t id = export_list.load()->export_id;

    rpc_pmap_call = nullptr;
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    uint16_t port = bench_local_port(s);
    xprt *xp = xprt_create(s, RPC_UDP, port, config.datasize + 512);
    if (!rpc_register(xp, NFS_PROG, NFS_V3, nfs3_dispatch, RPC_UDP)) return 1;
    xprt_stop.store(0);
    if (!udp_workers_start(2, xp)) return 1;
    caller c;
    c.s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    c.to.sin_family = AF_INET;
    c.to.sin_port = htons(port);
    c.to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    printf("%-34s", "microseconds per entry");
    for (uint32_t n : sizes) printf(" %10u", n);
    printf("  largest/smallest\n");
    std::vector<std::vector<double>> rows(4);
    const char *names[] = {"LOOKUP", "GETATTR", "CREATE", "READDIRPLUS, whole listing"};
    for (uint32_t n : sizes) {
        std::string dpath = "c:\\d" + std::to_string(n);
        uint8_t dir[FH_SIZE];
        fh_for_path(id, dpath.c_str(), dir);
        uint32_t step = n / SAMPLE ? n / SAMPLE : 1;
        std::vector<std::vector<uint8_t>> files;
        for (uint32_t i = 0; i < n; i += step) {
            uint8_t fh[FH_SIZE];
            fh_for_path(id, (dpath + "\\" + name_of(i)).c_str(), fh);
            files.emplace_back(fh, fh + FH_SIZE);
        }
        rows[0].push_back(best_us(uint32_t(files.size()), [&](int) {
            for (uint32_t i = 0; i < n; i += step) {
                std::vector<uint8_t> a;
                put_fh3(a, dir);
                put_name(a, name_of(i));
                ssize_t len;
                if (!c.call(3, a, &len)) return false;
            }
            return true;
        }));
        rows[1].push_back(best_us(uint32_t(files.size()), [&](int) {
            for (const auto &f : files) {
                std::vector<uint8_t> a;
                put_fh3(a, f.data());
                ssize_t len;
                if (!c.call(1, a, &len)) return false;
            }
            return true;
        }));
        rows[2].push_back(best_us(SAMPLE, [&](int round) {
            for (uint32_t i = 0; i < SAMPLE; i++) {
                std::vector<uint8_t> a;
                put_fh3(a, dir);
                put_name(a, "new" + std::to_string(round) + "_" + std::to_string(i));
                put_word(a, 0);  // UNCHECKED
                for (int k = 0; k < 6; k++) put_word(a, 0);  // no attributes set
                ssize_t len;
                if (!c.call(8, a, &len)) return false;
            }
            return true;
        }));
        list_all(c, dir, n);  // the first listing adds the new names
        rows[3].push_back(best_us(n, [&](int) { return list_all(c, dir, n); }));
    }
    for (size_t r = 0; r < rows.size(); r++) {
        printf("%-34s", names[r]);
        for (double v : rows[r]) printf(" %10.2f", v);
        printf("  %6.2f\n", rows[r].back() / rows[r].front());
    }

    // Handle resolution against the table's size: GETATTR of the same
    // 2,000 handles with the table at its size after the directories above
    // and after growing it to about 1,000,000 records.
    auto resolve_row = [&](const char *label) {
        std::string dpath = "c:\\d" + std::to_string(sizes[0]);
        std::vector<std::vector<uint8_t>> files;
        for (uint32_t i = 0; i < std::min<uint32_t>(sizes[0], SAMPLE); i++) {
            uint8_t fh[FH_SIZE];
            fh_make(inode_path_find((dpath + "\\" + name_of(i)).c_str()), id, fh);
            files.emplace_back(fh, fh + FH_SIZE);
        }
        double us = best_us(uint32_t(files.size()), [&](int) {
            for (const auto &f : files) {
                std::vector<uint8_t> a;
                put_fh3(a, f.data());
                ssize_t len;
                if (!c.call(1, a, &len)) return false;
            }
            return true;
        });
        printf("%-34s %10.2f   (%u bytes of table)\n", label, us, inode_table_size());
        return us;
    };
    double small = resolve_row("GETATTR, table as above");
    uint32_t top = inode_lookup(0, "Z");
    for (uint32_t d = 0; d < 1000; d++) {
        uint32_t dir = inode_lookup(top, ("dir" + std::to_string(d)).c_str());
        for (uint32_t i = 0; i < 1000; i++) inode_lookup(dir, name_of(i).c_str());
    }
    double large = resolve_row("GETATTR, 1,000,000 more records");
    printf("handle resolution, large/small table: %.2f\n", large / small);

    bench_stop_udp_workers(port);
    sock_close(s);
    inode_table_shutdown();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
