// The program directory, the same on every host: the folder set by
// program_directory_set, else the executable's own; each host only says
// where its executable lies and how a folder is made absolute.
#include <cstring>
#include <mutex>
#include <string>

#include "platform/registry.h"

namespace {

std::mutex home_lock;
std::string home_dir;  // set by program_directory_set; empty: the executable's folder

}  // namespace

uint32_t program_directory(char *buf, uint32_t size) {
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(home_lock);
        dir = home_dir;
    }
    if (dir.empty() && !program_executable_folder(&dir)) return 0;
    if (dir.size() >= size) return 0;
    memcpy(buf, dir.c_str(), dir.size() + 1);
    return uint32_t(dir.size());
}

void program_directory_set(const char *dir) {
    std::string d;
    if (dir && *dir) d = program_folder_absolute(dir);
    std::lock_guard<std::mutex> lock(home_lock);
    home_dir = d;
}
