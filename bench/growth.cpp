// Growth curves: the cost per entry of LOOKUP, GETATTR, CREATE and a whole
// READDIRPLUS listing (by cookies, as a client lists) in one directory of
// 1,000, 10,000 and 100,000 files, and of handle resolution with an inode
// table of 1,000 and of 1,000,000 records. Calls go over UDP to the version
// 3 program on two workers, one at a time, as a client sends them. Each
// figure is the best of ROUNDS passes, the passes of every size and row
// interleaved, so that a burst of load elsewhere on the machine spoils one
// pass of each figure rather than every pass of one; the names CREATE makes
// are removed again (untimed), so that every listing covers the same n
// files. The last column is the largest size's cost over the smallest's,
// which must stay within 2.
//
//   growth [sizes...]        (default 1000 10000 100000; ROUNDS, default 5)
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

#include "bench_nfs.h"
#include "fh/fh.h"
#include "nfsd/cache.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t SAMPLE = 2000;  // calls timed per LOOKUP, GETATTR and CREATE figure
constexpr uint32_t LISTING = 32768;

void put_fh3(std::vector<uint8_t> &m, const uint8_t *fh) {
    bench_put_word(m, FH3_SIZE);
    m.insert(m.end(), fh, fh + FH3_SIZE);
}
void put_name(std::vector<uint8_t> &m, const std::string &n) {
    bench_put_word(m, uint32_t(n.size()));
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
        std::vector<uint8_t> m = bench_nfs3_header(++xid, proc);
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

// One pass of `pass`, in microseconds per `per`; -1 when a call failed.
template <typename F>
double pass_us(uint32_t per, F pass) {
    double t0 = now();
    if (!pass()) return -1;
    return (now() - t0) * 1e6 / per;
}

// Keeps the best (smallest) figure; a failure stays.
void keep_best(double *best, double us) {
    if (*best < 0) return;
    if (us < 0 || *best == 0 || us < *best) *best = us;
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
        bench_put_word(a, uint32_t(cookie >> 32));
        bench_put_word(a, uint32_t(cookie));
        a.insert(a.end(), verf, verf + 8);
        bench_put_word(a, LISTING);
        bench_put_word(a, LISTING);
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

// What one size's figures need: its folder's handle and a sample of its
// files' handles and names.
struct folder {
    uint32_t n;
    uint8_t dir[FH_SIZE];
    std::vector<uint32_t> sample;  // file numbers
    std::vector<std::vector<uint8_t>> handles;
};

std::vector<uint8_t> dirop_args(const uint8_t *dir, const std::string &name) {
    std::vector<uint8_t> a;
    put_fh3(a, dir);
    put_name(a, name);
    return a;
}

// GETATTR of each handle, in microseconds per handle.
double getattr_pass(caller &c, const std::vector<std::vector<uint8_t>> &handles) {
    return pass_us(uint32_t(handles.size()), [&] {
        ssize_t len;
        for (const auto &h : handles) {
            std::vector<uint8_t> a;
            put_fh3(a, h.data());
            if (!c.call(1, a, &len)) return false;
        }
        return true;
    });
}

// The four figures of one folder, one pass each; the new names go again.
void one_pass(caller &c, folder &f, int round, double *best) {
    keep_best(&best[0], pass_us(uint32_t(f.sample.size()), [&] {
        ssize_t len;
        for (uint32_t i : f.sample)
            if (!c.call(3, dirop_args(f.dir, name_of(i)), &len)) return false;
        return true;
    }));
    keep_best(&best[1], getattr_pass(c, f.handles));
    auto made = [&](uint32_t i) { return "new" + std::to_string(round) + "_" + std::to_string(i); };
    keep_best(&best[2], pass_us(SAMPLE, [&] {
        ssize_t len;
        for (uint32_t i = 0; i < SAMPLE; i++) {
            std::vector<uint8_t> a = dirop_args(f.dir, made(i));
            bench_put_word(a, 0);                              // UNCHECKED
            for (int k = 0; k < 6; k++) bench_put_word(a, 0);  // no attributes set
            if (!c.call(8, a, &len)) return false;
        }
        return true;
    }));
    ssize_t len;
    for (uint32_t i = 0; i < SAMPLE; i++) c.call(12, dirop_args(f.dir, made(i)), &len);
    keep_best(&best[3], pass_us(f.n, [&] { return list_all(c, f.dir, f.n); }));
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<uint32_t> sizes;
    for (int i = 1; i < argc; i++) sizes.push_back(uint32_t(atoi(argv[i])));
    if (sizes.empty()) sizes = {1000, 10000, 100000};
    int rounds = getenv("ROUNDS") ? atoi(getenv("ROUNDS")) : 5;

    const char *base_dir = getenv("NIMBORA_BENCH_DIR") ? getenv("NIMBORA_BENCH_DIR") : "/tmp";
    bench_server srv;
    srv.home = std::string(base_dir) + "/growth-XXXXXX";
    if (!mkdtemp(srv.home.data())) return 1;
    std::string root = srv.home + "/c";
    mkdir(root.c_str(), 0755);
    for (uint32_t n : sizes) {
        std::string d = root + "/d" + std::to_string(n);
        mkdir(d.c_str(), 0755);
        for (uint32_t i = 0; i < n; i++) close(open((d + "/" + name_of(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    if (!bench_serve(&srv, 2, 65536)) return 1;
    uint32_t id = srv.export_id;
    caller c;
    c.s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    c.to.sin_family = AF_INET;
    c.to.sin_port = htons(srv.port);
    c.to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    std::vector<folder> folders;
    for (uint32_t n : sizes) {
        folder f;
        f.n = n;
        std::string dpath = "c:\\d" + std::to_string(n);
        fh_for_path(id, dpath.c_str(), f.dir);
        uint32_t step = n / SAMPLE ? n / SAMPLE : 1;
        for (uint32_t i = 0; i < n; i += step) {
            uint8_t fh[FH_SIZE];
            fh_for_path(id, (dpath + "\\" + name_of(i)).c_str(), fh);
            f.sample.push_back(i);
            f.handles.emplace_back(fh, fh + FH_SIZE);
        }
        list_all(c, f.dir, n);  // the first listing adds the names to the table
        folders.push_back(f);
    }
    std::vector<std::vector<double>> best(sizes.size(), std::vector<double>(4, 0));
    for (int round = 0; round < rounds; round++)
        for (size_t k = 0; k < folders.size(); k++) one_pass(c, folders[k], round, best[k].data());

    printf("%-34s", "microseconds per entry");
    for (uint32_t n : sizes) printf(" %10u", n);
    printf("  largest/smallest\n");
    const char *names[] = {"LOOKUP", "GETATTR", "CREATE", "READDIRPLUS, whole listing"};
    for (size_t r = 0; r < 4; r++) {
        printf("%-34s", names[r]);
        for (size_t k = 0; k < sizes.size(); k++) printf(" %10.2f", best[k][r]);
        printf("  %6.2f\n", best.back()[r] / best.front()[r]);
    }

    // Handle resolution against the table's size: GETATTR of the same
    // 2,000 handles with the table at its size after the directories above
    // and after growing it to about 1,000,000 records.
    const folder &first = folders.front();
    auto resolve_pass = [&] {
        double us = 0;
        for (int round = 0; round < rounds; round++) keep_best(&us, getattr_pass(c, first.handles));
        return us;
    };
    double small = resolve_pass();
    uint32_t small_bytes = inode_table_size();
    uint32_t top = inode_lookup(0, "Z");
    for (uint32_t d = 0; d < 1000; d++) {
        uint32_t dir = inode_lookup(top, ("dir" + std::to_string(d)).c_str());
        for (uint32_t i = 0; i < 1000; i++) inode_lookup(dir, name_of(i).c_str());
    }
    double large = resolve_pass();
    printf("%-34s %10.2f   (%u bytes of table)\n", "GETATTR, table as above", small, small_bytes);
    printf("%-34s %10.2f   (%u bytes of table)\n", "GETATTR, 1,000,000 more records", large,
           inode_table_size());
    printf("handle resolution, large/small table: %.2f\n", large / small);

    sock_close(c.s);
    bench_serve_end(&srv);
    return 0;
}
