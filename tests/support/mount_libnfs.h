// A MOUNT client made of the libnfs library, as a real client decodes the
// replies: connects through the portmapper of 127.0.0.1 and makes one call
// at a time. The library is loaded at run time (libnfs.so.13), so the build
// needs no link to it; without it, available() is false.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/mount_rig.h"

class libnfs_mount {
   public:
    // Connects to MOUNT version 1 or 3 at `server`.
    libnfs_mount(const char *server, int version);
    ~libnfs_mount();
    libnfs_mount(const libnfs_mount &) = delete;
    libnfs_mount &operator=(const libnfs_mount &) = delete;

    static bool available();
    bool connected() const { return connected_; }
    // The library's last error text.
    std::string error() const;

    struct mnt_result {
        bool answered = false;
        int status = -1;
        std::vector<uint8_t> fh;
        std::vector<int> flavors;
    };
    mnt_result mnt(const std::string &path);
    bool umnt(const std::string &path);
    bool umntall();
    // False in `*ok` when the call failed.
    std::vector<mount_dump_row> dump(bool *ok);
    std::vector<mount_export_row> exports(bool *ok);

   private:
    void *rpc_ = nullptr;
    int version_;
    bool connected_ = false;
};
