// Small whole files on this host: open/read/write with fsync and rename.
#include "platform/textfile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/winfile_internal.h"

namespace {

// A hard link keeps the previous version without copying; where links are
// not possible, a copy through a temporary file.
bool keep_backup(const char *path, const char *backup) {
    std::string old;
    if (access(path, F_OK) != 0) return errno == ENOENT;
    unlink(backup);
    if (link(path, backup) == 0) return true;
    return textfile_read(path, old, 64u << 20) && textfile_write(backup, old, false, nullptr);
}

}  // namespace

bool textfile_read(const char *path, std::string &out, uint32_t max_bytes) {
    out.clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (out.size() + size_t(n) > max_bytes) {
            ok = false;
            break;
        }
        out.append(buf, size_t(n));
    }
    close(fd);
    return ok;
}

bool textfile_write(const char *path, const std::string &text, bool private_file,
                    const char *backup) {
    // A file reached through a symbolic link (an installed program directory
    // links its settings to /etc) is replaced where it lies; the rename
    // would otherwise put a copy in place of the link.
    char target[PATH_MAX];
    struct stat link_st;
    if (lstat(path, &link_st) == 0 && S_ISLNK(link_st.st_mode)) {
        if (!realpath(path, target)) return false;
        path = target;
    }
    if (backup && !keep_backup(path, backup)) return false;
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return false;
    struct stat st;
    mode_t mode = private_file ? 0600 : stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, text.data(), text.size()) == text.size();
    // The rename must not publish a file whose bytes are still in flight.
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

bool random_bytes(uint8_t *out, uint32_t n) {
    while (n > 0) {
        ssize_t got = getrandom(out, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        n -= uint32_t(got);
    }
    return true;
}
