#include "support/exports_env.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

#include "inode/inode.h"
#include "platform/drive.h"
#include "base/config.h"

exports_env::exports_env() {
    config = nfsd_config{};
    config.lowercase = 1;
    config.datasize = 8192;
    mkdir(home.file("c").c_str(), 0755);
    mkdir(home.file("d").c_str(), 0755);
    drive_clear();
    drive_map("C", home.file("c").c_str(), 3, 0);
    drive_map("D", home.file("d").c_str(), 3, 0);
    if (!inode_table_init()) throw std::runtime_error("inode table did not open");
    log_.level(2);
    exports_clear();
}

exports_env::~exports_env() {
    exports_clear();
    inode_table_shutdown();
    drive_clear();
    drive_load();
}

void exports_env::make(const std::string &relative, const std::string &content) const {
    std::string path = home.file("c") + "/" + relative;
    if (!relative.empty() && relative.back() == '/') {
        mkdir(path.c_str(), 0755);
        return;
    }
    write_file(path, content);
}

std::string exports_env::load(const std::string &text) {
    home.write("exports", text);
    log();
    exports_read();
    return log();
}

std::vector<export_entry *> exports_env::entries() const {
    std::vector<export_entry *> list;
    for (export_entry *e = export_list; e; e = e->next) list.push_back(e);
    return list;
}
