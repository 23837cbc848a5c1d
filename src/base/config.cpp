// Loading the configuration record. The order of the reads matters: the
// defaults of "Mount-TCP" and "SO_Rcvbuf" are computed from values read
// before them.
#include "base/config.h"

#include <cstring>

#include "platform/drive.h"
#include "platform/registry.h"

nfsd_config config;

void config_load(const char *subkey) {
    // Numbers are stored as text and cut to the width of their field.
    config.log = static_cast<int32_t>(reg_read_number(subkey, "Log", 1));
    config.portmapper = reg_read_number(subkey, "PortMapper", 1);
    config.mount_port = static_cast<uint16_t>(reg_read_number(subkey, "Mount-Port", 1058));
    config.port = static_cast<uint16_t>(reg_read_number(subkey, "Port", 2049));
    config.udp = reg_read_number(subkey, "UDP", 1);
    config.tcp = reg_read_number(subkey, "TCP", 1);
    config.version2 = reg_read_number(subkey, "Version2", 1);
    config.version3 = reg_read_number(subkey, "Version3", 1);
    config.threads = reg_read_number(subkey, "Threads", 4);
    config.hardlinks = reg_read_number(subkey, "HardLinks", 1);
    config.softlinks = reg_read_number(subkey, "SoftLinks", 1);
    config.datasize = reg_read_number(subkey, "Datasize", 8192);
    config.nfs2write = reg_read_number(subkey, "NFS2Write", 0);
    config.cache = static_cast<int32_t>(reg_read_number(subkey, "Cache", 24));
    config.inode_reset = reg_read_number(subkey, "InodeReset", 0);
    config.inode_check = reg_read_number(subkey, "InodeCheck", 0);
    config.remote = reg_read_number(subkey, "Remote", 0);
    drive_set_remote(config.remote != 0);
    config.charset = reg_read_number(subkey, "CharSet", 0);
    config.codepage = reg_read_number(subkey, "CodePage", 0);
    config.lowercase = reg_read_number(subkey, "Lowercase", 1);
    config.max_read = config.datasize;
    config.max_write = config.datasize;
    config.so_rcvbuf =
        reg_read_number(subkey, "SO_Rcvbuf", (config.datasize + 64) * config.threads);
    config.mount_udp = reg_read_number(subkey, "Mount-UDP", 1);
    config.mount_tcp = reg_read_number(subkey, "Mount-TCP", config.tcp);
    config.tcp_connections = reg_read_number(subkey, "TCP-Connections", CONFIG_TCP_CONNECTIONS);

    size_t size = sizeof config.directory;
    reg_read_string(subkey, "Directory", "", config.directory, size);
    if (config.directory[0] == '\0') program_directory(config.directory, size);
    // The log name is joined to this folder as it is; a folder typed without
    // its separator would otherwise put "<folder>nfsdYYMM.log" beside it.
    size_t len = strlen(config.directory);
    if (len > 0 && config.directory[len - 1] != '/' && len + 1 < size) {
        config.directory[len] = '/';
        config.directory[len + 1] = '\0';
    }
}
