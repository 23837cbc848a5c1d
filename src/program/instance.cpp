// The single-instance lock. The locked opening of the host layer's mapped
// file is exactly "one owner per file, in this process or another", so the
// lock borrows it; the process id is written beside it as plain text.
#include "program/instance.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/mapfile.h"
#include "platform/process.h"

namespace {

mapfile lock_file;
std::string lock_path;

uint32_t read_pid(const std::string &path) {
    std::ifstream in(path);
    uint32_t pid = 0;
    if (!(in >> pid)) return 0;
    return pid;
}

}  // namespace

instance_result instance_claim(const char *dir, uint32_t *pid) {
    std::string path = std::string(dir) + INSTANCE_FILE;
    *pid = 0;
    if (!mapfile_open(&lock_file, path.c_str(), true)) {
        // Either another server holds the lock, or the file cannot be made
        // at all; only an existing, readable file tells the first case.
        std::ifstream probe(path);
        if (!probe) return INSTANCE_ERROR;
        *pid = read_pid(path);
        return INSTANCE_RUNNING;
    }
    lock_path = path;
    std::ofstream out(path, std::ios::trunc);
    out << process_id() << "\n";
    return INSTANCE_OURS;
}

void instance_release() {
    if (lock_path.empty()) return;
    // Removed while still locked: a start that opened the old file in the
    // meantime finds it locked and leaves, one that comes later makes a new one.
    std::error_code ec;
    std::filesystem::remove(lock_path, ec);
    mapfile_close(&lock_file);
    lock_path.clear();
}
