// Creates N files in one directory through the host layer, then looks each
// up under another case; does the same loop with plain POSIX calls (exact
// names, since POSIX has no other); prints both times and their ratio.
// The ratio must not grow with N: a lookup under another case must not cost
// a directory scan per call.
//
//   fs_lookup [N ...]        (default 1000 10000)
// Each size runs three times and the fastest of each loop counts, so that
// other load on the machine disturbs the ratios less. NIMBORA_BENCH_DIR
// chooses the file system (default /tmp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fs/fs.h"
#include "platform/ascii.h"
#include "platform/drive.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string upper(std::string s) {
    for (char &c : s) c = ascii_upper(c);
    return s;
}

struct times {
    double layer_create, layer_lookup, posix_create, posix_lookup;
};

bool run_once(int n, times *t) {
    const char *root = getenv("NIMBORA_BENCH_DIR");
    std::string tmpl = std::string(root ? root : "/tmp") + "/nimbora-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) return false;
    std::string base = tmpl;
    std::string layer_dir = base + "/layer", posix_dir = base + "/posix";
    mkdir(layer_dir.c_str(), 0755);
    mkdir(posix_dir.c_str(), 0755);
    drive_clear();
    drive_map("C", layer_dir.c_str(), DRIVE_FIXED, 0);
    // The files go away also when a step fails.
    struct cleanup {
        std::string dir;
        ~cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } remove_base{base};

    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::string p = "c:\\file" + std::to_string(i) + ".dat";
        win_handle h = fs_create_file(p.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
        if (h == INVALID_HANDLE_VALUE) return false;
        win_close_handle(h);
    }
    double layer_create = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::string p = "c:\\" + upper("file" + std::to_string(i) + ".dat");
        if (fs_get_attributes(p.c_str()) == FS_INVALID_ATTRIBUTES) return false;
    }
    double layer_lookup = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::string p = posix_dir + "/file" + std::to_string(i) + ".dat";
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0) return false;
        close(fd);
    }
    double posix_create = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        std::string p = posix_dir + "/file" + std::to_string(i) + ".dat";
        struct stat st;
        if (stat(p.c_str(), &st) != 0) return false;
    }
    double posix_lookup = seconds_since(t0);

    *t = {layer_create, layer_lookup, posix_create, posix_lookup};
    return true;
}

bool run(int n) {
    times best{1e9, 1e9, 1e9, 1e9};
    for (int i = 0; i < 3; i++) {
        times t;
        if (!run_once(n, &t)) return false;
        best.layer_create = std::min(best.layer_create, t.layer_create);
        best.layer_lookup = std::min(best.layer_lookup, t.layer_lookup);
        best.posix_create = std::min(best.posix_create, t.posix_create);
        best.posix_lookup = std::min(best.posix_lookup, t.posix_lookup);
    }
    printf(
        "%6d files  create: layer %8.4f s  posix %8.4f s  ratio %5.2f   "
        "lookup (other case): layer %8.4f s  posix %8.4f s  ratio %5.2f\n",
        n, best.layer_create, best.posix_create, best.layer_create / best.posix_create,
        best.layer_lookup, best.posix_lookup, best.layer_lookup / best.posix_lookup);
    fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int status = 0;
    if (argc < 2) {
        status |= !run(1000);
        status |= !run(10000);
    }
    for (int i = 1; i < argc; i++) status |= !run(atoi(argv[i]));
    return status;
}
