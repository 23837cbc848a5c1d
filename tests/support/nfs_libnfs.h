// A real NFS version 3 client for end-to-end tests: the libnfs library
// (Debian libnfs13), loaded at run time so that the build does not link it,
// behind a few calls that each do one client operation. Its declarations
// stay inside nfs_libnfs.cpp (their names clash with the server's).
#pragma once

#include <cstdint>
#include <set>
#include <string>

class libnfs_client {
   public:
    // Whether the library could be loaded.
    static bool available();
    libnfs_client();
    ~libnfs_client();
    libnfs_client(const libnfs_client &) = delete;
    libnfs_client &operator=(const libnfs_client &) = delete;

    // Portmapper, MNT, then the NFS calls libnfs makes at mount; and a MNT
    // of its own for the root handle of the raw calls.
    bool mount(const char *server, const char *path);
    std::string error() const;

    // Each answers what the libnfs call answers: 0 on success, a negative
    // errno otherwise (read: the bytes read).
    int stat(const char *path, uint64_t *size, uint32_t *mode);
    int read(const char *path, uint64_t offset, uint32_t count, std::string *data);
    // CREATE, WRITE of `data` at 0, COMMIT.
    int create_write(const char *path, uint32_t mode, const std::string &data);
    int mkdir(const char *path);
    int rmdir(const char *path);
    int unlink(const char *path);
    int rename(const char *from, const char *to);
    int symlink(const char *target, const char *path);
    int readlink(const char *path, std::string *target);
    int link(const char *from, const char *to);
    int chmod(const char *path, uint32_t mode);
    int truncate(const char *path, uint64_t size);
    int access(const char *path, int mode);
    int mknod(const char *path, uint32_t mode, uint32_t dev);
    int statvfs(uint64_t *blocks, uint64_t *block_size);
    int readdir(const char *path, std::set<std::string> *names);
    // Raw FSINFO and PATHCONF of the export's root: the NFS status.
    int fsinfo(uint32_t *rtmax, uint32_t *properties);
    int pathconf(uint32_t *case_insensitive, uint32_t *case_preserving);

   private:
    struct nfs_context *nfs_ = nullptr;
    std::string root_;
};
