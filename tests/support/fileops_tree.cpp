#include "support/fileops_tree.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "base/config.h"
#include "names/nfs_status.h"

fileops_tree::fileops_tree(str exports, const std::vector<std::string> &dirs)
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

std::string fileops_tree::win(str relative) {
    std::string p = "c:";
    if (!relative.empty()) p += "\\" + relative;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

std::string fileops_tree::snapshot() const {
    std::vector<std::string> lines;
    std::string root = host("");
    for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = e.path().string().substr(root.size());
        lines.push_back(rel + " " + std::to_string(attrs(rel)));
        if (e.is_regular_file()) lines.back() += " " + content(rel);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto &line : lines) out += line + "\n";
    return out;
}

namespace {

void collect_stale(uint32_t dir, std::vector<std::string> *out) {
    for (uint32_t i = 0, child; (child = inode_child_at(dir, i)) != 0; i++) {
        char path[INODE_PATH_MAX];
        bool named = inode_path(child, path);
        if (!named || fs_get_attributes(path) == FS_INVALID_ATTRIBUTES)
            out->push_back(named ? path : "<no path>");
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

std::string fileops_device(uint32_t type, uint32_t major, uint32_t minor, uint32_t mode) {
    uint8_t h[NFS_SPECIAL_SIZE];
    nfs_special_header(h, type, major, minor, mode);
    return std::string(reinterpret_cast<char *>(h), sizeof h);
}
