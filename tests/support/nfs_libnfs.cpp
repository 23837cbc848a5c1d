#include "support/nfs_libnfs.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <functional>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

namespace {

#define NFS_LIBNFS_CALLS(X)                                                                    \
    X(nfs_init_context) X(nfs_destroy_context) X(nfs_mount) X(nfs_get_error) X(nfs_stat64)     \
    X(nfs_open) X(nfs_close) X(nfs_pread) X(nfs_pwrite) X(nfs_creat) X(nfs_mkdir) X(nfs_unlink) \
    X(nfs_rmdir) X(nfs_rename) X(nfs_symlink) X(nfs_readlink) X(nfs_link) X(nfs_chmod)         \
    X(nfs_truncate) X(nfs_statvfs64) X(nfs_opendir) X(nfs_readdir) X(nfs_closedir)             \
    X(nfs_access) X(nfs_fsync) X(nfs_mknod) X(nfs_get_rpc_context) X(nfs_get_fh)                \
    X(nfs_get_fd) X(nfs_which_events) X(nfs_service) X(rpc_nfs3_pathconf_async)               \
    X(rpc_nfs3_fsinfo_async) X(rpc_init_context) X(rpc_destroy_context)                        \
    X(rpc_connect_program_async) X(rpc_mount3_mnt_async) X(rpc_get_fd) X(rpc_which_events)    \
    X(rpc_service)

struct api_t {
#define NFS_LIBNFS_MEMBER(f) decltype(&::f) f;
    NFS_LIBNFS_CALLS(NFS_LIBNFS_MEMBER)
#undef NFS_LIBNFS_MEMBER
};

bool load(api_t *api) {
    void *lib = dlopen("libnfs.so.13", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
#define NFS_LIBNFS_LOAD(f)                                      \
    api->f = reinterpret_cast<decltype(&::f)>(dlsym(lib, #f)); \
    if (!api->f) return false;
    NFS_LIBNFS_CALLS(NFS_LIBNFS_LOAD)
#undef NFS_LIBNFS_LOAD
    return true;
}

const api_t *api() {
    static api_t a;
    static bool loaded = load(&a);
    return loaded ? &a : nullptr;
}

constexpr int RAW_TIMEOUT_MS = 5000;

// Serves an RPC context until *done is set; false on time-out or failure.
bool serve_until(rpc_context *rpc, const bool *done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(RAW_TIMEOUT_MS);
    while (!*done) {
        if (std::chrono::steady_clock::now() > until) return false;
        pollfd p{api()->rpc_get_fd(rpc), short(api()->rpc_which_events(rpc)), 0};
        if (poll(&p, 1, 100) < 0) return false;
        if (api()->rpc_service(rpc, p.revents) < 0) return false;
    }
    return true;
}

// A raw call's completion: the RPC status; `take` sees the decoded reply
// inside the callback, the only time its pointers are valid.
template <typename Res>
struct raw_reply {
    bool done = false;
    int status = -1;
    std::function<void(const Res &)> take;
    static void cb(rpc_context *, int status, void *data, void *p) {
        raw_reply *r = static_cast<raw_reply *>(p);
        r->done = true;
        r->status = status;
        if (status == RPC_STATUS_SUCCESS && data && r->take) r->take(*static_cast<const Res *>(data));
    }
};

// The root handle of `path` on `server` by a MNT of its own.
std::string mount_handle(const char *server, const char *path) {
    rpc_context *rpc = api()->rpc_init_context();
    std::string handle;
    raw_reply<int> connected;
    raw_reply<mountres3> mounted;
    mounted.take = [&](const mountres3 &r) {
        if (r.fhs_status != MNT3_OK) return;
        const fhandle3 &fh = r.mountres3_u.mountinfo.fhandle;
        handle.assign(fh.fhandle3_val, fh.fhandle3_len);
    };
    if (api()->rpc_connect_program_async(rpc, server, MOUNT_PROGRAM, MOUNT_V3,
                                         raw_reply<int>::cb, &connected) == 0 &&
        serve_until(rpc, &connected.done) && connected.status == RPC_STATUS_SUCCESS &&
        api()->rpc_mount3_mnt_async(rpc, raw_reply<mountres3>::cb, const_cast<char *>(path),
                                    &mounted) == 0)
        serve_until(rpc, &mounted.done);
    api()->rpc_destroy_context(rpc);
    return handle;
}

// One raw version 3 call with the handle `fh` on the mounted context: the
// reply's NFS status (take() sees a successful result), -1 without one.
template <typename Args, typename Res>
int raw_call(nfs_context *nfs, std::string fh, int (*send)(rpc_context *, rpc_cb, Args *, void *),
             nfs_fh3 Args::*member, std::function<void(const Res &)> take) {
    Args args{};
    (args.*member).data.data_len = uint32_t(fh.size());
    (args.*member).data.data_val = &fh[0];
    raw_reply<Res> r;
    int answer = -1;
    r.take = [&](const Res &res) {
        answer = int(res.status);
        if (res.status == NFS3_OK) take(res);
    };
    rpc_context *rpc = api()->nfs_get_rpc_context(nfs);
    if (send(rpc, raw_reply<Res>::cb, &args, &r) != 0 || !serve_until(rpc, &r.done)) return -1;
    return answer;
}

}  // namespace

bool libnfs_client::available() {
    return api() != nullptr;
}

libnfs_client::libnfs_client() {
    if (api()) nfs_ = api()->nfs_init_context();
}

libnfs_client::~libnfs_client() {
    if (nfs_) api()->nfs_destroy_context(nfs_);
}

bool libnfs_client::mount(const char *server, const char *path) {
    if (!nfs_ || api()->nfs_mount(nfs_, server, path) != 0) return false;
    root_ = mount_handle(server, path);
    return !root_.empty();
}

std::string libnfs_client::error() const {
    const char *e = nfs_ ? api()->nfs_get_error(nfs_) : "no libnfs";
    return e ? e : "";
}

int libnfs_client::stat(const char *path, uint64_t *size, uint32_t *mode) {
    nfs_stat_64 st{};
    int r = api()->nfs_stat64(nfs_, path, &st);
    *size = st.nfs_size;
    *mode = uint32_t(st.nfs_mode);
    return r;
}

int libnfs_client::read(const char *path, uint64_t offset, uint32_t count, std::string *data) {
    nfsfh *fh = nullptr;
    int r = api()->nfs_open(nfs_, path, O_RDONLY, &fh);
    if (r != 0) return r;
    data->assign(count, '\0');
    r = api()->nfs_pread(nfs_, fh, offset, count, &(*data)[0]);
    data->resize(r > 0 ? size_t(r) : 0);
    api()->nfs_close(nfs_, fh);
    return r;
}

int libnfs_client::create_write(const char *path, uint32_t mode, const std::string &data) {
    nfsfh *fh = nullptr;
    int r = api()->nfs_creat(nfs_, path, int(mode), &fh);
    if (r != 0) return r;
    r = api()->nfs_pwrite(nfs_, fh, 0, data.size(), data.data());
    if (r == int(data.size())) r = api()->nfs_fsync(nfs_, fh);
    api()->nfs_close(nfs_, fh);
    return r;
}

int libnfs_client::mkdir(const char *path) { return api()->nfs_mkdir(nfs_, path); }
int libnfs_client::rmdir(const char *path) { return api()->nfs_rmdir(nfs_, path); }
int libnfs_client::unlink(const char *path) { return api()->nfs_unlink(nfs_, path); }
int libnfs_client::rename(const char *from, const char *to) {
    return api()->nfs_rename(nfs_, from, to);
}
int libnfs_client::symlink(const char *target, const char *path) {
    return api()->nfs_symlink(nfs_, target, path);
}
int libnfs_client::readlink(const char *path, std::string *target) {
    char buf[4097] = {};
    int r = api()->nfs_readlink(nfs_, path, buf, sizeof buf - 1);
    *target = buf;
    return r;
}
int libnfs_client::link(const char *from, const char *to) { return api()->nfs_link(nfs_, from, to); }
int libnfs_client::chmod(const char *path, uint32_t mode) {
    return api()->nfs_chmod(nfs_, path, int(mode));
}
int libnfs_client::truncate(const char *path, uint64_t size) {
    return api()->nfs_truncate(nfs_, path, size);
}
int libnfs_client::access(const char *path, int mode) { return api()->nfs_access(nfs_, path, mode); }
int libnfs_client::mknod(const char *path, uint32_t mode, uint32_t dev) {
    return api()->nfs_mknod(nfs_, path, int(mode), int(dev));
}

int libnfs_client::statvfs(uint64_t *blocks, uint64_t *block_size) {
    nfs_statvfs_64 sv{};
    int r = api()->nfs_statvfs64(nfs_, "/", &sv);
    *blocks = sv.f_blocks;
    *block_size = sv.f_bsize;
    return r;
}

int libnfs_client::readdir(const char *path, std::set<std::string> *names) {
    nfsdir *dir = nullptr;
    int r = api()->nfs_opendir(nfs_, path, &dir);
    if (r != 0) return r;
    for (nfsdirent *e; (e = api()->nfs_readdir(nfs_, dir)) != nullptr;) names->insert(e->name);
    api()->nfs_closedir(nfs_, dir);
    return 0;
}

int libnfs_client::fsinfo(uint32_t *rtmax, uint32_t *properties) {
    return raw_call<FSINFO3args, FSINFO3res>(nfs_, root_, api()->rpc_nfs3_fsinfo_async,
                                             &FSINFO3args::fsroot, [&](const FSINFO3res &r) {
                                                 *rtmax = r.FSINFO3res_u.resok.rtmax;
                                                 *properties = r.FSINFO3res_u.resok.properties;
                                             });
}

int libnfs_client::pathconf(uint32_t *case_insensitive, uint32_t *case_preserving) {
    return raw_call<PATHCONF3args, PATHCONF3res>(
        nfs_, root_, api()->rpc_nfs3_pathconf_async, &PATHCONF3args::object,
        [&](const PATHCONF3res &r) {
            *case_insensitive = r.PATHCONF3res_u.resok.case_insensitive;
            *case_preserving = r.PATHCONF3res_u.resok.case_preserving;
        });
}
