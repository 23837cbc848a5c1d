// Create and remove through the NFS backends: N files are created in one
// directory with nfs_create (GUARDED) and removed again with file_unlink,
// against plain open/close and unlink of N files in a host directory.
// Reports microseconds per file for each N and the ratio of the two, so
// that a cost growing with the directory's size shows.
//   create_remove [largest N] [folder]
// (default 10000: N = 1000, 2000, 5000, 10000; the files go to a temporary
// folder below `folder`, default /tmp; /dev/shm keeps the disk out of it)
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fh/fh.h"
#include "inode/inode.h"
#include "exports/export.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/fileops.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "base/config.h"

namespace {

using clock_type = std::chrono::steady_clock;

double micros_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

void name_of(int i, char *buf, size_t size) {
    std::snprintf(buf, size, "file%05d.dat", i);
}

// Removal goes in a scattered order, so that finding a name costs what it
// costs on average, not what the front of a sorted list costs.
int scattered(int i, int n) {
    return int((int64_t(i) * 7919) % n);
}

// Create and remove per file, in microseconds, through the backends.
bool backends(int n, const std::string &dir, double *create_us, double *remove_us) {
    uint8_t dir_fh[FH_SIZE];
    export_entry *exp = export_list;
    std::string path = "c:\\" + dir;
    if (!fh_for_path(exp->export_id, path.c_str(), dir_fh)) return false;
    rpc_cred cred{};
    cred.uid = 500;
    nfs_sattr sattr{};
    uint8_t fh[FH_SIZE];
    nfs_attr attr;
    char name[32];
    auto t0 = clock_type::now();
    for (int i = 0; i < n; i++) {
        name_of(i, name, sizeof name);
        nfs_object dir;
        nfs_object_init(&dir, dir_fh, &cred);
        if (nfs_create(&dir, name, NFS_CREATE_GUARDED, &sattr, fh, &attr) != NFS_OK)
            return false;
    }
    *create_us = micros_since(t0) / n;
    t0 = clock_type::now();
    for (int i = 0; i < n; i++) {
        name_of(scattered(i, n), name, sizeof name);
        nfs_object dir;
        nfs_object_init(&dir, dir_fh, &cred);
        if (file_unlink(&dir, name) != NFS_OK) return false;
    }
    *remove_us = micros_since(t0) / n;
    return true;
}

bool plain(int n, const std::string &dir, double *create_us, double *remove_us) {
    char name[32];
    auto t0 = clock_type::now();
    for (int i = 0; i < n; i++) {
        name_of(i, name, sizeof name);
        int fd = open((dir + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0) return false;
        close(fd);
    }
    *create_us = micros_since(t0) / n;
    t0 = clock_type::now();
    for (int i = 0; i < n; i++) {
        name_of(scattered(i, n), name, sizeof name);
        if (unlink((dir + "/" + name).c_str()) != 0) return false;
    }
    *remove_us = micros_since(t0) / n;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int largest = argc > 1 ? atoi(argv[1]) : 10000;
    if (largest < 1000) return 2;
    std::string h = std::string(argc > 2 ? argv[2] : "/tmp") + "/create-remove-bench-XXXXXX";
    if (!mkdtemp(h.data())) return 1;
    program_directory_set((h + "/").c_str());
    config.charset = 2;
    config.cache = 24;
    config.hardlinks = config.softlinks = 1;
    config.log = 0;
    std::filesystem::create_directories(h + "/c");
    std::filesystem::create_directories(h + "/plain");
    drive_clear();
    drive_map("C", (h + "/c").c_str(), DRIVE_FIXED, 0);
    if (!inode_table_init()) {
        std::fprintf(stderr, "inode table did not open\n");
        return 1;
    }
    std::ofstream(h + "/exports") << "c:\\ -maproot:0\n";
    exports_read();
    cache_init();
    if (!export_list) {
        std::fprintf(stderr, "no export\n");
        return 1;
    }

    std::printf("%8s %14s %14s %14s %14s %8s\n", "files", "create us/f", "remove us/f",
                "open us/f", "unlink us/f", "ratio");
    // Each size runs three times in fresh directories; the best run counts,
    // which keeps other load on the machine out of the figures.
    int sizes[] = {1000, 2000, 5000, largest};
    for (int k = 0; k < 4; k++) {
        int n = sizes[k];
        if (k < 3 && n >= largest) continue;
        double bc = 1e30, br = 1e30, pc = 1e30, pr = 1e30;
        for (int run = 0; run < 3; run++) {
            std::string dir = "d" + std::to_string(n) + "_" + std::to_string(run);
            std::filesystem::create_directories(h + "/c/" + dir);
            double c1, r1, c2, r2;
            if (!backends(n, dir, &c1, &r1) || !plain(n, h + "/plain", &c2, &r2)) {
                std::fprintf(stderr, "a create or remove failed at %d files\n", n);
                return 1;
            }
            bc = std::min(bc, c1), br = std::min(br, r1);
            pc = std::min(pc, c2), pr = std::min(pr, r2);
        }
        std::printf("%8d %14.2f %14.2f %14.2f %14.2f %8.1f\n", n, bc, br, pc, pr,
                    (bc + br) / (pc + pr));
    }
    config.cache = 0;
    cache_init();
    inode_table_shutdown();
    std::filesystem::remove_all(h);
    return 0;
}
