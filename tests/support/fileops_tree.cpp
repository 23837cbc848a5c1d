#include "support/fileops_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "fs/fs.h"
#include "inode/inode.h"
#include "platform/winerr.h"
#include "server/config.h"
#include "support/drive_temp.h"

fileops_tree::fileops_tree(const std::string &exports, const std::vector<std::string> &dirs)
    : nfs_tree("c:\\\n"), hardlinks_(config.hardlinks), softlinks_(config.softlinks) {
    for (const auto &d : dirs) make(d + "/");
    env.load(exports);
    if (env.entries().empty()) throw std::runtime_error("no export loaded: " + exports);
    log();
    config.hardlinks = 1;
    config.softlinks = 1;
    hardlink_lookup();
}

fileops_tree::~fileops_tree() {
    win_fail_clear();
    config.hardlinks = hardlinks_;
    config.softlinks = softlinks_;
}

std::string fileops_tree::win(const std::string &relative) {
    std::string p = "c:";
    if (!relative.empty()) p += "\\" + relative;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

uint32_t fileops_tree::attrs(const std::string &relative) {
    return fs_get_attributes(win(relative).c_str());
}

bool fileops_tree::set_attrs(const std::string &relative, uint32_t attributes) {
    return fs_set_attributes(win(relative).c_str(), attributes);
}

std::vector<std::string> fileops_tree::listing(const std::string &relative) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(host(relative), ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string fileops_tree::content(const std::string &relative) const {
    return read_file(host(relative));
}

bool fileops_tree::exists(const std::string &relative) const {
    struct stat st;
    return lstat(host(relative).c_str(), &st) == 0;
}

uint32_t fileops_tree::record(const std::string &relative) {
    return inode_path_find(win(relative).c_str());
}

namespace {

void collect_stale(uint32_t dir, std::vector<std::string> *out) {
    for (uint32_t i = 0, child; (child = inode_child_at(dir, i)) != 0; i++) {
        char path[INODE_PATH_MAX];
        if (!inode_path(child, path)) {
            out->push_back("<no path>");
            continue;
        }
        if (fs_get_attributes(path) == FS_INVALID_ATTRIBUTES) out->push_back(path);
        collect_stale(child, out);
    }
}

}  // namespace

std::vector<std::string> fileops_tree::stale_records() {
    std::vector<std::string> out;
    uint32_t drive = inode_path_find("c:");
    if (drive) collect_stale(drive, &out);
    return out;
}

rpc_cred root_cred() {
    return test_cred(0, 0);
}

rpc_cred user_cred() {
    return test_cred(500, 100);
}
