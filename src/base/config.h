// The configuration record: every setting of the key "Software\Nimbora\nfsd",
// read once at program start by config_load. Afterwards every thread reads it
// without a lock; a changed setting takes effect at the next start.
#pragma once

#include <cstdint>

// "TCP-Connections": connections open at once per listening TCP port; one
// more closes the longest idle. The default is enough for every client of a
// small network and few enough that three listeners stay well inside the
// usual 1024 descriptors.
constexpr uint32_t CONFIG_TCP_CONNECTIONS = 128;

// The values of "CharSet": how the clients' name bytes reach the disk.
constexpr uint32_t CHARSET_ASCII = 0;     // 7-bit names only, passed unchanged
constexpr uint32_t CHARSET_CODEPAGE = 1;  // ANSI code page "CodePage", converted
constexpr uint32_t CHARSET_UTF8 = 2;      // UTF-8, passed unchanged

struct nfsd_config {
    int32_t log;           // "Log": 0 no log file, 1 events and errors, 2-3 detail
    uint32_t portmapper;   // "PortMapper": start the built-in portmapper
    uint16_t mount_port;   // "Mount-Port"
    uint16_t port;         // "Port"
    uint32_t udp;          // "UDP"
    uint32_t tcp;          // "TCP"
    uint32_t version2;     // "Version2"
    uint32_t version3;     // "Version3"
    uint32_t threads;      // "Threads": UDP workers; below 2 the select loop serves NFS UDP
    uint32_t hardlinks;    // "HardLinks"
    uint32_t softlinks;    // "SoftLinks"
    uint32_t datasize;     // "Datasize": maximum transfer size
    uint32_t nfs2write;    // "NFS2Write": 0 asynchronous, 2 written through
    int32_t cache;         // "Cache": open-file cache entries
    uint32_t inode_reset;  // "InodeReset"
    uint32_t inode_check;  // "InodeCheck"
    uint32_t remote;       // "Remote": network drives may be exported
    uint32_t charset;      // "CharSet": CHARSET_*
    uint32_t codepage;     // "CodePage": 0 the system's default (1252 here)
    uint32_t lowercase;    // "Lowercase": drive letters shown in lower case
    uint32_t max_read;     // set to "Datasize" right after "Lowercase"
    uint32_t max_write;    // set to "Datasize" right after "Lowercase"
    uint32_t so_rcvbuf;    // "SO_Rcvbuf": default ("Datasize" + 64) * "Threads"
    uint32_t mount_udp;    // "Mount-UDP"
    uint32_t mount_tcp;    // "Mount-TCP": default "TCP"
    // "TCP-Connections"
    uint32_t tcp_connections;
    char directory[261];   // "Directory": log folder, ends in '/'; default the program directory
};

extern nfsd_config config;

// Fills `config` from the settings store in the order of the table above,
// each value falling back to its default. `subkey` is "nfsd" for the server.
void config_load(const char *subkey);
