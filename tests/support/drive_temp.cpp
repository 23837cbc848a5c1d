#include "support/drive_temp.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/drive.h"

namespace {
int live = 0;
}

temp_drive::temp_drive(char letter, uint32_t type, uint32_t serial) : letter_(letter) {
    char tmpl[] = "/tmp/nimbora-drive-XXXXXX";
    char *d = mkdtemp(tmpl);
    dir_ = d ? d : "";
    if (live++ == 0) drive_clear();
    char name[2] = {letter, 0};
    drive_map(name, dir_.c_str(), type, serial);
}

temp_drive::~temp_drive() {
    char name[2] = {letter_, 0};
    drive_map(name, nullptr, 0, 0);
    if (--live == 0) drive_reset();
    std::error_code ec;
    // Directories without write permission would stop the removal of their
    // content when the tests do not run as root.
    for (auto it = std::filesystem::recursive_directory_iterator(dir_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(dir_, ec);
}

std::string temp_drive::win(const std::string &rel) const {
    std::string s;
    s += char(letter_ + ('a' - 'A') * (letter_ >= 'A' && letter_ <= 'Z'));
    s += ":\\";
    for (char c : rel) s += c == '/' ? '\\' : c;
    return s;
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
