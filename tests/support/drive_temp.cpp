#include "support/drive_temp.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/drive.h"
#include "platform/winfile.h"

static int live = 0;  // temp drives alive

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
    std::error_code ec;  // write-protected directories would keep their content
    for (auto it = std::filesystem::recursive_directory_iterator(dir_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(dir_, ec);
}

bool temp_drive::has(const std::string &rel) const {
    struct stat st;
    return lstat(host(rel).c_str(), &st) == 0;
}

void temp_drive::make(std::initializer_list<std::string> entries) const {
    for (const std::string &e : entries) {
        size_t link = e.find(" -> "), move = e.find(" => ");
        int rc = 0;
        if (link != std::string::npos)
            rc = symlink(e.substr(link + 4).c_str(), host(e.substr(0, link)).c_str());
        else if (move != std::string::npos)
            rc = rename(host(e.substr(0, move)).c_str(), host(e.substr(move + 4)).c_str());
        else if (e[0] == '-')
            rc = remove(host(e.substr(1)).c_str());
        else if (e.back() == '/')
            rc = mkdir(host(e).c_str(), 0755);
        else
            write_file(host(e), "");
        if (rc != 0) ADD_FAILURE() << e << ": " << strerror(errno);
    }
}

int with_mounted(const std::string &dir, const char *fstype, const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid < 0) return 77;
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", dir.c_str(), fstype, 0, nullptr) != 0)
            _exit(77);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
