#include "support/exports_env.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "inode/inode.h"
#include "platform/drive.h"
#include "platform/registry.h"
#include "server/config.h"
#include "server/log.h"

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
    log_ = tmpfile();
    log_attach(log_, 2);
    exports_clear();
}

exports_env::~exports_env() {
    exports_clear();
    inode_table_shutdown();
    log_attach(nullptr, 0);
    if (log_) fclose(log_);
    drive_clear();
    drive_load();
}

void exports_env::log_level(int level) {
    log_attach(log_, level);
}

void exports_env::make(const std::string &relative, const std::string &content) const {
    std::string path = home.file("c") + "/" + relative;
    if (!relative.empty() && relative.back() == '/') {
        mkdir(path.c_str(), 0755);
        return;
    }
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string exports_env::load(const std::string &text) {
    home.write("exports", text);
    log();
    exports_read();
    return log();
}

std::string exports_env::log() {
    fflush(log_);
    long end = ftell(log_);
    std::string text((size_t)(end - log_at_), '\0');
    fseek(log_, log_at_, SEEK_SET);
    size_t got = fread(text.data(), 1, text.size(), log_);
    text.resize(got);
    fseek(log_, end, SEEK_SET);
    log_at_ = end;
    return text;
}

std::vector<export_entry *> exports_env::entries() const {
    std::vector<export_entry *> list;
    for (export_entry *e = export_list; e; e = e->next) list.push_back(e);
    return list;
}

unsigned exports_env::setting(const char *name, unsigned def) const {
    return reg_read_number("nfsd", name, def);
}
