// Directory reading: a whole READDIRPLUS listing by cookies, as a client
// makes it, over directories of several sizes, to show the cost per entry
// against the size of the directory. Columns:
//   scan, rescan   the cookie-0 scan that adds every record, and one that
//                  finds them all again
//   dir attr       one attribute read of the directory (its link count,
//                  not yet remembered, reads the whole directory)
//   served         READDIRPLUS as the handler serves it: every reply also
//                  carries the directory's attributes, read afresh (the
//                  first 20 replies only: on a large directory a whole
//                  listing takes hours this way)
//   walk           READDIRPLUS with the directory's attributes read once,
//                  before the listing: positioning, the child list, the
//                  entries' attribute reads and handles (the "." entry
//                  still reads the directory's attributes once)
//   counted        as walk, but every continuation finds its place by
//                  counting down the child list (no remembered place)
//   readdir3       version 3 READDIR, walk as above (no attribute reads)
// Every listing's first reply comes right after a scan (so that cookie 0
// does not scan again) and is not timed; the continuations are, best of
// several runs.
//   readdir [entries ...]        (default: 1000 10000 50000)
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fh/fh.h"
#include "inode/inode.h"
#include "exports/export.h"
#include "nfsd/cache.h"
#include "nfsd/readdir.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "base/config.h"

namespace {

constexpr unsigned SETTLE_SECONDS = 4;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<uint8_t> reply(70000);
nfs_dirlist list;
nfs_attr dir_attr;  // read once per listing, for the walk columns

struct listing {
    uint32_t entries = 0, replies = 0;
    double seconds = 0;
};

// One request through the handler's fill (`served`: with the directory's
// attributes read for it) and the encoder; the number of entries, the
// cookie of the last one and whether it ended the listing.
bool request(bool plus, bool served, const uint8_t *fh, uint32_t cookie, uint32_t *entries,
             uint32_t *last) {
    nfs_readdir_args args{};
    memcpy(args.fh, fh, FH3_SIZE);
    args.cookie = cookie;
    args.count = 8192;
    args.dircount = 8192;
    rpc_cred cred{};
    cred.uid = cred.gid = 500;
    nfs_object dir;
    nfs_object_init(&dir, args.fh, &cred);
    nfs_dirlist_fill(&list, &args, &dir, plus ? NFS_DIR_PLUS : NFS_DIR_V3, reply.data(),
                     uint32_t(reply.size()));
    if (!served) {
        list.dir_attr_ok = 1;
        list.dir_attr = dir_attr;
    }
    xdr_out out;
    xdr_out_init(&out, reply.data(), uint32_t(reply.size()));
    (plus ? xdr_readdirplus3res : xdr_readdir3res)(&out, &list);
    uint32_t n = xdr_out_length(&out);
    // Walk the entries for the count and the last cookie (fixed layout
    // after the name; READDIRPLUS adds attributes and a handle).
    auto word = [&](uint32_t at) {
        const uint8_t *p = reply.data() + at;
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    };
    if (word(0) != 0) return true;
    uint32_t at = 4 + (word(4) ? 88 : 4) + 8;
    *entries = 0;
    while (at < n && word(at) == 1) {
        uint32_t len = word(at + 12);
        at += 16 + (len + 3) / 4 * 4;
        *last = word(at + 4);
        at += 8;
        if (plus) {
            at += word(at) ? 88 : 4;
            at += word(at) ? 24 : 4;
        }
        ++*entries;
    }
    return word(at + 4) == 1;
}

// The rest of a listing by cookies, from the cookie that ended its first
// reply to eof. With `positional` every continuation finds its place by
// counting down the child list.
listing list_rest(bool plus, bool served, const uint8_t *fh, uint32_t cookie, bool positional,
                  uint32_t max_replies = 0xFFFFFFFF) {
    listing l;
    rpc_cred cred{};
    nfs_object dir;
    nfs_object_init(&dir, fh, &cred);
    if (!served) nfs_fh_attr(&dir, &dir_attr);
    auto t0 = std::chrono::steady_clock::now();
    while (l.replies < max_replies) {
        uint32_t entries = 0, last = cookie;
        if (positional) nfs_scan_forget();
        bool eof = request(plus, served, fh, cookie, &entries, &last);
        l.entries += entries;
        l.replies++;
        if (eof || entries == 0) break;
        cookie = last;
    }
    l.seconds = seconds_since(t0);
    return l;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; i++) sizes.push_back(atoi(argv[i]));
    if (sizes.empty()) sizes = {1000, 10000, 50000};

    char home[] = "/tmp/readdir-bench-XXXXXX";
    if (!mkdtemp(home)) return 1;
    std::string root = std::string(home) + "/c";
    mkdir(root.c_str(), 0755);
    program_directory_set(home);
    config.charset = 2;
    config.datasize = 8192;
    config.cache = 24;
    config.lowercase = 1;
    drive_clear();
    drive_map("C", root.c_str(), 3, 0);
    FILE *exports = fopen((std::string(home) + "/exports").c_str(), "w");
    if (!exports) return 1;
    fputs("c:\\ -maproot:0\n", exports);
    fclose(exports);
    if (!inode_table_init()) return 1;
    exports_read();
    cache_init();
    if (!export_list) return 1;

    std::printf("Whole listings by cookies, count/maxcount 8192; times per entry in us\n");
    std::printf("%7s %9s %9s %9s | %8s | %8s %9s %7s | %8s | %8s %9s\n", "entries", "scan ms",
                "rescan ms", "dirattr ms", "served", "walk", "walk e/s", "replies", "counted",
                "readdir3", "r3 e/s");
    for (int n : sizes) {
        std::string dir = root + "/d" + std::to_string(n);
        mkdir(dir.c_str(), 0755);
        for (int i = 0; i < n; i++) {
            char name[64];
            std::snprintf(name, sizeof name, "/file-%08x.dat", unsigned(i) * 2654435761u);
            FILE *f = fopen((dir + name).c_str(), "w");
            if (!f) return 1;
            fclose(f);
        }
        // The link count of a directory changed within the last few seconds
        // is counted afresh at every attribute read; of an older one it is
        // remembered. Time the usual case: a directory not being filled.
        sleep(SETTLE_SECONDS);
        uint8_t fh[FH_SIZE];
        std::string path = "c:\\d" + std::to_string(n);
        fh_for_path(export_list.load()->export_id, path.c_str(), fh);

        uint32_t entries, last;
        nfs_scan_forget();
        auto t0 = std::chrono::steady_clock::now();
        request(false, false, fh, 0, &entries, &last);  // adds every record
        double scan = seconds_since(t0);
        nfs_scan_forget();
        t0 = std::chrono::steady_clock::now();
        request(false, false, fh, 0, &entries, &last);  // finds every record
        double rescan = seconds_since(t0);
        rpc_cred cred{};
        nfs_object dir_obj;
        nfs_object_init(&dir_obj, fh, &cred);
        t0 = std::chrono::steady_clock::now();
        nfs_fh_attr(&dir_obj, &dir_attr);
        double attr = seconds_since(t0);

        // The first reply of each listing, within a second of the scan so
        // that cookie 0 does not scan again; the rest is timed.
        uint32_t first_plus = 0, first_plain = 0, plus_cookie = 0, plain_cookie = 0;
        request(true, false, fh, 0, &first_plus, &plus_cookie);
        request(false, false, fh, 0, &first_plain, &plain_cookie);
        // The best of a few runs: the machine is shared.
        auto best = [&](int runs, bool plus, bool served, uint32_t cookie, bool positional,
                        uint32_t max_replies) {
            listing b = list_rest(plus, served, fh, cookie, positional, max_replies);
            for (int i = 1; i < runs; i++) {
                listing l = list_rest(plus, served, fh, cookie, positional, max_replies);
                if (l.seconds < b.seconds) b = l;
            }
            return b;
        };
        listing served = best(1, true, true, plus_cookie, false, 20);
        listing walk = best(3, true, false, plus_cookie, false, 0xFFFFFFFF);
        listing counted = best(3, true, false, plus_cookie, true, 0xFFFFFFFF);
        listing plain = best(20, false, false, plain_cookie, false, 0xFFFFFFFF);
        for (const listing *l : {&walk, &counted})
            if (first_plus + l->entries != uint32_t(n) + 2)
                std::printf("(a listing gave %u entries)\n", first_plus + l->entries);
        if (first_plain + plain.entries != uint32_t(n) + 2)
            std::printf("(a listing gave %u entries)\n", first_plain + plain.entries);
        auto per_entry = [](const listing &l) { return l.seconds * 1e6 / l.entries; };
        std::printf("%7d %9.1f %9.1f %9.2f | %8.2f | %8.2f %9.0f %7u | %8.2f | %8.2f %9.0f\n", n,
                    scan * 1e3, rescan * 1e3, attr * 1e3, per_entry(served), per_entry(walk),
                    walk.entries / walk.seconds, walk.replies + 1, per_entry(counted),
                    per_entry(plain), plain.entries / plain.seconds);
        std::fflush(stdout);
    }
    cache_init();
    inode_table_shutdown();
    std::filesystem::remove_all(home);
    return 0;
}
