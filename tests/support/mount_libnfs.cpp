#include "support/mount_libnfs.h"

#include <dlfcn.h>
#include <poll.h>

// clang-format off
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
// clang-format on

#include <cstring>
#include <functional>

namespace {

// The library's calls, looked up once.
struct calls {
    decltype(&rpc_init_context) init;
    decltype(&rpc_destroy_context) destroy;
    decltype(&rpc_get_fd) get_fd;
    decltype(&rpc_which_events) which_events;
    decltype(&rpc_service) service;
    decltype(&rpc_get_error) get_error;
    decltype(&rpc_connect_program_async) connect;
    decltype(&rpc_mount1_mnt_async) mnt1;
    decltype(&rpc_mount3_mnt_async) mnt3;
    decltype(&rpc_mount1_umnt_async) umnt1;
    decltype(&rpc_mount3_umnt_async) umnt3;
    decltype(&rpc_mount1_umntall_async) umntall1;
    decltype(&rpc_mount3_umntall_async) umntall3;
    decltype(&rpc_mount1_dump_async) dump1;
    decltype(&rpc_mount3_dump_async) dump3;
    decltype(&rpc_mount1_export_async) export1;
    decltype(&rpc_mount3_export_async) export3;
    bool ok = false;
};

template <typename F>
bool find(void *lib, const char *name, F *fn) {
    *fn = reinterpret_cast<F>(dlsym(lib, name));
    return *fn != nullptr;
}

const calls &lib() {
    static calls c = [] {
        calls c{};
        void *lib = dlopen("libnfs.so.13", RTLD_NOW);
        if (!lib) return c;
        c.ok = find(lib, "rpc_init_context", &c.init) &&
               find(lib, "rpc_destroy_context", &c.destroy) && find(lib, "rpc_get_fd", &c.get_fd) &&
               find(lib, "rpc_which_events", &c.which_events) &&
               find(lib, "rpc_service", &c.service) && find(lib, "rpc_get_error", &c.get_error) &&
               find(lib, "rpc_connect_program_async", &c.connect) &&
               find(lib, "rpc_mount1_mnt_async", &c.mnt1) &&
               find(lib, "rpc_mount3_mnt_async", &c.mnt3) &&
               find(lib, "rpc_mount1_umnt_async", &c.umnt1) &&
               find(lib, "rpc_mount3_umnt_async", &c.umnt3) &&
               find(lib, "rpc_mount1_umntall_async", &c.umntall1) &&
               find(lib, "rpc_mount3_umntall_async", &c.umntall3) &&
               find(lib, "rpc_mount1_dump_async", &c.dump1) &&
               find(lib, "rpc_mount3_dump_async", &c.dump3) &&
               find(lib, "rpc_mount1_export_async", &c.export1) &&
               find(lib, "rpc_mount3_export_async", &c.export3);
        return c;
    }();
    return c;
}

// The library lays decoded lists out on 4-byte boundaries only; read its
// nodes through a copy rather than through a misaligned pointer.
template <typename T>
T node(const void *p) {
    T t;
    memcpy(&t, p, sizeof t);
    return t;
}

// One call under way: its callback takes the decoded reply.
struct waiter {
    bool done = false;
    int status = -1;
    std::function<void(void *)> take;
};

void on_reply(rpc_context *, int status, void *data, void *private_data) {
    waiter *w = static_cast<waiter *>(private_data);
    w->status = status;
    if (status == RPC_STATUS_SUCCESS && w->take) w->take(data);
    w->done = true;
}

// Serves the context until the call is answered (at most 5 s).
bool wait(void *rpc, waiter *w) {
    rpc_context *r = static_cast<rpc_context *>(rpc);
    for (int i = 0; i < 500 && !w->done; i++) {
        pollfd p{lib().get_fd(r), short(lib().which_events(r)), 0};
        if (poll(&p, 1, 10) < 0) return false;
        if (lib().service(r, p.revents) < 0) return false;
    }
    return w->done && w->status == RPC_STATUS_SUCCESS;
}

}  // namespace

bool libnfs_mount::available() {
    return lib().ok;
}

libnfs_mount::libnfs_mount(const char *server, int version) : version_(version) {
    if (!available()) return;
    rpc_ = lib().init();
    if (!rpc_) return;
    waiter w;
    if (lib().connect(static_cast<rpc_context *>(rpc_), server, MOUNT_PROGRAM, version, on_reply,
                      &w) != 0)
        return;
    connected_ = wait(rpc_, &w);
}

libnfs_mount::~libnfs_mount() {
    if (rpc_) lib().destroy(static_cast<rpc_context *>(rpc_));
}

std::string libnfs_mount::error() const {
    const char *e = rpc_ ? lib().get_error(static_cast<rpc_context *>(rpc_)) : nullptr;
    return e ? e : "";
}

libnfs_mount::mnt_result libnfs_mount::mnt(const std::string &path) {
    mnt_result out;
    waiter w;
    rpc_context *r = static_cast<rpc_context *>(rpc_);
    std::string p = path;
    int sent;
    if (version_ == 3) {
        w.take = [&out](void *data) {
            const mountres3 *m = static_cast<const mountres3 *>(data);
            out.status = m->fhs_status;
            if (m->fhs_status != MNT3_OK) return;
            const mountres3_ok &ok = m->mountres3_u.mountinfo;
            out.fh.assign(ok.fhandle.fhandle3_val, ok.fhandle.fhandle3_val + ok.fhandle.fhandle3_len);
            out.flavors.assign(ok.auth_flavors.auth_flavors_val,
                               ok.auth_flavors.auth_flavors_val + ok.auth_flavors.auth_flavors_len);
        };
        sent = lib().mnt3(r, on_reply, p.data(), &w);
    } else {
        w.take = [&out](void *data) {
            const mountres1 *m = static_cast<const mountres1 *>(data);
            out.status = m->fhs_status;
            if (m->fhs_status == MNT1_OK)
                out.fh.assign(m->mountres1_u.mountinfo.fhandle,
                              m->mountres1_u.mountinfo.fhandle + FHSIZE);
        };
        sent = lib().mnt1(r, on_reply, p.data(), &w);
    }
    out.answered = sent == 0 && wait(rpc_, &w);
    return out;
}

bool libnfs_mount::umnt(const std::string &path) {
    waiter w;
    std::string p = path;
    rpc_context *r = static_cast<rpc_context *>(rpc_);
    int sent = version_ == 3 ? lib().umnt3(r, on_reply, p.data(), &w)
                             : lib().umnt1(r, on_reply, p.data(), &w);
    return sent == 0 && wait(rpc_, &w);
}

bool libnfs_mount::umntall() {
    waiter w;
    rpc_context *r = static_cast<rpc_context *>(rpc_);
    int sent = version_ == 3 ? lib().umntall3(r, on_reply, &w) : lib().umntall1(r, on_reply, &w);
    return sent == 0 && wait(rpc_, &w);
}

std::vector<mount_dump_row> libnfs_mount::dump(bool *ok) {
    std::vector<mount_dump_row> rows;
    waiter w;
    w.take = [&rows](void *data) {
        for (const void *p = node<mountlist>(data); p;) {
            mountbody b = node<mountbody>(p);
            rows.push_back({b.ml_hostname, b.ml_directory});
            p = b.ml_next;
        }
    };
    rpc_context *r = static_cast<rpc_context *>(rpc_);
    int sent = version_ == 3 ? lib().dump3(r, on_reply, &w) : lib().dump1(r, on_reply, &w);
    *ok = sent == 0 && wait(rpc_, &w);
    return rows;
}

std::vector<mount_export_row> libnfs_mount::exports(bool *ok) {
    std::vector<mount_export_row> rows;
    waiter w;
    w.take = [&rows](void *data) {
        for (const void *p = node<::exports>(data); p;) {
            exportnode e = node<exportnode>(p);
            mount_export_row row{e.ex_dir, {}};
            for (const void *q = e.ex_groups; q;) {
                groupnode g = node<groupnode>(q);
                row.groups.push_back(g.gr_name);
                q = g.gr_next;
            }
            rows.push_back(row);
            p = e.ex_next;
        }
    };
    rpc_context *r = static_cast<rpc_context *>(rpc_);
    int sent = version_ == 3 ? lib().export3(r, on_reply, &w) : lib().export1(r, on_reply, &w);
    *ok = sent == 0 && wait(rpc_, &w);
    return rows;
}
