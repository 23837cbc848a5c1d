// READ and WRITE backends against plain POSIX calls on the same file.
// nfs_read of a whole file in "Datasize" pieces (8192 and 65535) beside a
// pread loop of the same sizes; nfs_write of a new file in 32 KiB pieces
// beside a pwrite loop. Prints MB/s and the ratio backend / plain. The file
// is read once first, so both read loops run from the page cache; each
// measurement is the best of seven, the two loops taking turns.
//
//   nfs_rw [MiB]        (default 256)
// NIMBORA_BENCH_DIR chooses the file system (default /tmp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fh/fh.h"
#include "inode/inode.h"
#include "exports/export.h"
#include "nfsd/cache.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "base/config.h"

namespace {

constexpr uint32_t WRITE_PIECE = 32768;
constexpr int RUNS = 7;  // best of; a shared machine needs a few

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double mb_per_s(uint64_t bytes, double seconds) {
    return double(bytes) / (1024.0 * 1024.0) / seconds;
}

// The world of one run: a program directory with an exports file, drive C:
// over its folder "c", the inode table and a cache of the default size.
struct world {
    std::string home, dir;
    bool ok = false;

    world() {
        const char *root = getenv("NIMBORA_BENCH_DIR");
        std::string tmpl = std::string(root ? root : "/tmp") + "/nimbora-bench-XXXXXX";
        if (!mkdtemp(tmpl.data())) return;
        home = tmpl;
        dir = home + "/c";
        mkdir(dir.c_str(), 0755);
        program_directory_set(home.c_str());
        config = nfsd_config{};
        config.charset = 2;
        config.cache = 24;
        drive_clear();
        drive_map("C", dir.c_str(), DRIVE_FIXED, 0);
        FILE *f = fopen((home + "/exports").c_str(), "w");
        if (!f) return;
        fputs("c:\\ -maproot:0\n", f);
        fclose(f);
        if (!inode_table_init()) return;
        exports_read();
        cache_init();
        ok = export_list != nullptr;
    }
    ~world() {
        config.cache = 0;
        cache_init();
        exports_clear();
        inode_table_shutdown();
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    std::array<uint8_t, 32> handle(const char *path) const {
        std::array<uint8_t, 32> fh{};
        fh_for_path(export_list.load()->export_id, path, fh.data());
        return fh;
    }
};

bool make_file(const std::string &path, uint64_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<char> block(1 << 20, 'x');
    for (uint64_t done = 0; done < size; done += block.size())
        if (write(fd, block.data(), block.size()) != ssize_t(block.size())) return close(fd), false;
    return close(fd) == 0;
}

double nfs_read_all(const world &w, uint64_t size, uint32_t piece, std::vector<uint8_t> &buf) {
    auto fh = w.handle("c:\\big");
    rpc_cred cred{};
    cred.uid = 500;
    nfs_attr attr;
    auto t0 = std::chrono::steady_clock::now();
    for (uint64_t off = 0; off < size;) {
        uint32_t n = piece;
        nfs_object o;
        nfs_object_init(&o, fh.data(), &cred);
        if (nfs_read(&o, off, &n, buf.data(), &attr) != 0 || n == 0) return -1;
        off += n;
    }
    return seconds_since(t0);
}

double pread_all(const std::string &path, uint64_t size, uint32_t piece,
                 std::vector<uint8_t> &buf) {
    auto t0 = std::chrono::steady_clock::now();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    for (uint64_t off = 0; off < size;) {
        ssize_t n = pread(fd, buf.data(), piece, off_t(off));
        if (n <= 0) return close(fd), -1;
        off += uint64_t(n);
    }
    close(fd);
    return seconds_since(t0);
}

double nfs_write_all(const world &w, uint64_t size, const std::vector<uint8_t> &data) {
    if (!make_file(w.dir + "/out", 0)) return -1;
    auto fh = w.handle("c:\\out");
    rpc_cred cred{};
    cred.uid = 500;
    nfs_attr attr;
    auto t0 = std::chrono::steady_clock::now();
    for (uint64_t off = 0; off < size; off += WRITE_PIECE) {
        uint32_t n = WRITE_PIECE;
        nfs_object o;
        nfs_object_init(&o, fh.data(), &cred);
        if (nfs_write(&o, off, &n, false, data.data(), NFS3_MAX_SIZE, &attr) != 0 ||
            n != WRITE_PIECE)
            return -1;
    }
    cache_close_volume(0);
    return seconds_since(t0);
}

double pwrite_all(const std::string &path, uint64_t size, const std::vector<uint8_t> &data) {
    auto t0 = std::chrono::steady_clock::now();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    for (uint64_t off = 0; off < size; off += WRITE_PIECE)
        if (pwrite(fd, data.data(), WRITE_PIECE, off_t(off)) != ssize_t(WRITE_PIECE))
            return close(fd), -1;
    close(fd);
    return seconds_since(t0);
}

void report(const char *what, uint64_t size, double backend, double plain) {
    printf("%-24s nfs %8.1f MB/s   posix %8.1f MB/s   nfs/posix %5.2f\n", what,
           mb_per_s(size, backend), mb_per_s(size, plain), plain / backend);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t size = uint64_t(argc > 1 ? atoi(argv[1]) : 256) << 20;
    world w;
    if (!w.ok || !make_file(w.dir + "/big", size)) {
        fprintf(stderr, "nfs_rw: cannot set up the test file\n");
        return 1;
    }
    std::vector<uint8_t> buf(65536);
    // Warm the page cache so both loops read from memory.
    if (pread_all(w.dir + "/big", size, 65536, buf) < 0) return 1;

    for (uint32_t piece : {8192u, 65535u}) {
        config.datasize = piece;
        double best_nfs = 1e9, best_posix = 1e9;
        for (int r = 0; r < RUNS; r++) {
            double a = nfs_read_all(w, size, piece, buf);
            double b = pread_all(w.dir + "/big", size, piece, buf);
            if (a < 0 || b < 0) return fprintf(stderr, "nfs_rw: read failed\n"), 1;
            best_nfs = std::min(best_nfs, a);
            best_posix = std::min(best_posix, b);
        }
        std::string what = "read " + std::to_string(piece);
        report(what.c_str(), size, best_nfs, best_posix);
    }

    config.datasize = WRITE_PIECE;
    std::vector<uint8_t> data(WRITE_PIECE, 'y');
    double best_nfs = 1e9, best_posix = 1e9;
    for (int r = 0; r < RUNS; r++) {
        double a = nfs_write_all(w, size, data);
        double b = pwrite_all(w.dir + "/plain", size, data);
        if (a < 0 || b < 0) return fprintf(stderr, "nfs_rw: write failed\n"), 1;
        best_nfs = std::min(best_nfs, a);
        best_posix = std::min(best_posix, b);
    }
    report("write 32768", size, best_nfs, best_posix);
    return 0;
}
