// Directories resolved before, kept open, so that a name costs one host call
// instead of an open per component from the drive's folder down.
//
// The cache is a tree that mirrors the part of each drive that walks went
// through: a node per directory component as the caller spelt it, holding
// an O_PATH descriptor of that directory and an inotify watch on it. Every
// host change that could make a walk end elsewhere is a name event in the
// watch of the directory that holds the name (created, deleted, moved in or
// out, its attributes changed) or an event of the directory itself (moved,
// deleted, its attributes changed); each drops the nodes it concerns, with
// everything below them. The kernel queues an event before the call that
// caused it returns, and every walk reads the queue first, so a walk never
// starts from a node that a finished change has made wrong. A node added
// by a walk is refused when its parent saw an event since the walk passed
// it: the change could have come after the open and before the watch.
//
// Names match exactly as given; a name event drops every child whose name
// folds to the same letters, since a change of any spelling can change what
// a case-insensitive walk finds. One inode is cached under one spelling
// only (the kernel gives both the same watch).
//
// Mounting or unmounting anything makes no such event, so the mount table is
// watched as well: any change of it drops everything. Both wait in one
// epoll set, so that a walk with nothing changed pays a single host call.
// A forked child starts with an empty cache of its own: the queue is
// shared with the parent, and reading it would steal the parent's events.
//
// A folder not used for a few seconds is closed (win_folder_sweep), so
// that the cache never keeps a file system below it busy for long.
//
// Not seen: a drive's folder reached through a link that is pointed
// elsewhere while the server runs (the link is outside the watched tree).
// A full queue drops everything; so does a full cache.
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/winfile_internal.h"

struct path_node {
    path_node *parent;
    std::string given;  // the component as spelt by walks; a root: the drive's folder
    std::string disk;   // the component as spelt on disk
    int fd;
    int wd;
    uint32_t gen;   // name events seen in this directory
    uint32_t refs;  // walks holding it
    uint32_t used;  // tick of the last walk through it
    bool dead;      // dropped while held: freed by the last release
    // Children by folded name; usually one spelling each.
    std::unordered_map<std::string, std::vector<path_node *>> children;
};

namespace {

// Each node holds a descriptor: a few thousand at most, and never more than
// an eighth of what the process may open, which the server's sockets and
// open files need.
constexpr uint32_t PATHCACHE_MAX_NODES = 4096;
constexpr uint32_t PATHCACHE_FD_SHARE = 8;
constexpr uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::mutex cache_lock;
int notify_fd = -1;  // -1: not set up (yet): nothing is cached
int mounts_fd = -1;
int wait_fd = -1;    // epoll set of the two
// Never destroyed: nodes stay reachable, and usable, to the very end of
// the process (threads may still walk while static objects are torn down).
std::unordered_map<std::string, path_node *> &roots =
    *new std::unordered_map<std::string, path_node *>;  // by drive folder
std::unordered_map<int, path_node *> &by_watch = *new std::unordered_map<int, path_node *>;
std::atomic<uint64_t> mount_changes{0};
uint32_t nodes = 0;
uint32_t max_nodes = 0;
uint32_t last_sweep = 0;  // tick

void fold_into(std::string &out, const char *name) {
    out.assign(name);
    for (char &c : out) c = ascii_lower(c);
}

std::string &scratch() {
    thread_local std::string s;
    return s;
}

void free_node(path_node *n) {
    if (n->fd >= 0) close(n->fd);
    delete n;
}

// Takes `n` and everything below it out of the tree. Lock held.
void drop(path_node *n) {
    for (auto &entry : n->children)
        for (path_node *c : entry.second) {
            c->parent = nullptr;  // its parent's map goes with it
            drop(c);
        }
    n->children.clear();
    if (n->parent) {
        std::string &key = scratch();
        fold_into(key, n->given.c_str());
        auto it = n->parent->children.find(key);
        if (it != n->parent->children.end()) {
            auto &v = it->second;
            for (size_t i = 0; i < v.size(); i++)
                if (v[i] == n) v.erase(v.begin() + long(i)), i = v.size();
            if (v.empty()) n->parent->children.erase(it);
        }
        n->parent = nullptr;
    } else {
        auto it = roots.find(n->given);
        if (it != roots.end() && it->second == n) roots.erase(it);
    }
    if (n->wd >= 0) {
        by_watch.erase(n->wd);
        inotify_rm_watch(notify_fd, n->wd);
        n->wd = -1;
    }
    nodes--;
    n->gen++;
    if (n->refs == 0)
        free_node(n);
    else
        n->dead = true;
}

void drop_all() {
    while (!roots.empty()) drop(roots.begin()->second);
}

void drop_children_named(path_node *n, const char *name) {
    std::string &key = scratch();
    fold_into(key, name);
    auto it = n->children.find(key);
    if (it == n->children.end()) return;
    std::vector<path_node *> v = it->second;  // drop edits the map
    for (path_node *c : v) drop(c);
}

void apply(const struct inotify_event *ev) {
    if (ev->mask & IN_Q_OVERFLOW) {
        drop_all();
        return;
    }
    auto it = by_watch.find(ev->wd);
    if (it == by_watch.end()) return;
    path_node *n = it->second;
    n->gen++;
    bool named = ev->len > 0 && ev->name[0];
    if ((ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) ||
        ((ev->mask & IN_ATTRIB) && !named))
        drop(n);
    else if (named)
        drop_children_named(n, ev->name);
}

void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Everything goes, as in a fresh process; no lock is taken (after fork).
void forget_all() {
    // Every live node has a watch; dead ones are held by threads that the
    // child does not have, and stay unfreed.
    for (auto &entry : by_watch) free_node(entry.second);
    by_watch.clear();
    roots.clear();
    nodes = 0;
    close_fd(notify_fd);
    close_fd(mounts_fd);
    close_fd(wait_fd);
}

void fork_prepare() {
    cache_lock.lock();
}
void fork_parent() {
    cache_lock.unlock();
}
void fork_child() {
    forget_all();
    cache_lock.unlock();
}

// The queue, the mount table and the set that waits on both; all or
// nothing, tried again on the next walk (a process short of descriptors
// gets them later). Lock held.
bool set_up() {
    static bool registered = false;
    if (!registered) {
        pthread_atfork(fork_prepare, fork_parent, fork_child);
        registered = true;
    }
    struct rlimit rl;
    uint64_t share = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                         ? uint64_t(rl.rlim_cur) / PATHCACHE_FD_SHARE
                         : PATHCACHE_MAX_NODES;
    max_nodes = uint32_t(share < PATHCACHE_MAX_NODES ? share : PATHCACHE_MAX_NODES);
    notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mounts_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    wait_fd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event on_notify = {EPOLLIN, {.fd = notify_fd}};
    struct epoll_event on_mounts = {EPOLLPRI, {.fd = mounts_fd}};
    if (notify_fd < 0 || mounts_fd < 0 || wait_fd < 0 ||
        epoll_ctl(wait_fd, EPOLL_CTL_ADD, notify_fd, &on_notify) != 0 ||
        epoll_ctl(wait_fd, EPOLL_CTL_ADD, mounts_fd, &on_mounts) != 0) {
        close_fd(notify_fd);
        close_fd(mounts_fd);
        close_fd(wait_fd);
        return false;
    }
    return true;
}

// Drops what was not used for idle_ms under `n` (n itself included). A
// walk passes a folder's parent before the folder, so an idle node has
// only idle nodes below it. Lock held.
void sweep(path_node *n, uint32_t now, uint32_t idle_ms) {
    if (now - n->used > idle_ms) {
        drop(n);
        return;
    }
    std::vector<path_node *> below;  // drop edits the maps
    for (auto &entry : n->children) below.insert(below.end(), entry.second.begin(), entry.second.end());
    for (path_node *c : below) sweep(c, now, idle_ms);
}

void sweep_all(uint32_t idle_ms) {
    uint32_t now = tick_count();
    last_sweep = now;
    std::vector<path_node *> tops;
    for (auto &entry : roots) tops.push_back(entry.second);
    for (path_node *n : tops) sweep(n, now, idle_ms);
}

// Applies every change seen since the last call; false when nothing can be
// cached. Lock held.
bool drain() {
    if (notify_fd < 0 && !set_up()) return false;
    struct epoll_event ready[2];
    int n_ready = epoll_wait(wait_fd, ready, 2, 0);
    if (n_ready < 0) {
        drop_all();
        return errno == EINTR;
    }
    if (tick_count() - last_sweep > 1000) sweep_all(WIN_FOLDER_IDLE_MS);
    bool queued = false;
    for (int i = 0; i < n_ready; i++) {
        if (ready[i].data.fd == mounts_fd) {
            drop_all();
            mount_changes.fetch_add(1, std::memory_order_relaxed);
        }
        if (ready[i].data.fd == notify_fd) queued = true;
    }
    if (!queued) return true;
    alignas(struct inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = read(notify_fd, buf, sizeof buf);
        if (n <= 0) {
            // Anything but an empty queue leaves events unread: trust nothing.
            if (n < 0 && errno != EAGAIN && errno != EINTR) drop_all();
            if (n < 0 && errno == EINTR) continue;
            return true;
        }
        for (ssize_t at = 0; at < n;) {
            auto *ev = reinterpret_cast<const struct inotify_event *>(buf + at);
            apply(ev);
            at += ssize_t(sizeof *ev + ev->len);
        }
    }
}

void hold_set(path_hold *h, path_node *n) {
    n->used = tick_count();
    n->refs++;
    h->node = n;
    h->gen = n->gen;
}

void hold_drop(path_hold *h) {
    path_node *n = h->node;
    h->node = nullptr;
    if (!n) return;
    if (--n->refs == 0 && n->dead) free_node(n);
}

// A node for `fd`, watched; null when the watch cannot be had. Lock held.
path_node *make_node(const char *given, const char *disk, int fd) {
    if (nodes >= max_nodes) drop_all();
    if (max_nodes == 0) return nullptr;
    char proc[64];
    proc_path(proc, sizeof proc, fd, "");
    int wd = inotify_add_watch(notify_fd, proc, WATCH_MASK);
    if (wd < 0) return nullptr;
    if (by_watch.count(wd)) return nullptr;  // the same directory under another spelling
    path_node *n = new path_node{nullptr, given, disk, fd, wd, 0, 0, tick_count(), false, {}};
    by_watch[wd] = n;
    nodes++;
    return n;
}

}  // namespace

int pathcache_root(const char *dir, path_hold *h) {
    std::lock_guard<std::mutex> hold(cache_lock);
    if (!drain()) return -1;
    std::string &key = scratch();
    key.assign(dir);
    auto it = roots.find(key);
    if (it == roots.end()) return -1;
    hold_set(h, it->second);
    return it->second->fd;
}

bool pathcache_add_root(const char *dir, int fd, path_hold *h) {
    std::lock_guard<std::mutex> hold(cache_lock);
    if (!drain() || roots.count(dir)) return false;
    path_node *n = make_node(dir, "", fd);
    if (!n) return false;
    roots[dir] = n;
    hold_set(h, n);
    return true;
}

int pathcache_child(path_hold *h, const char *name) {
    std::lock_guard<std::mutex> hold(cache_lock);
    path_node *n = h->node;
    if (!n || n->dead) return -1;
    std::string &key = scratch();
    fold_into(key, name);
    auto it = n->children.find(key);
    if (it == n->children.end()) return -1;
    for (path_node *c : it->second)
        if (c->given == name) {
            hold_drop(h);
            hold_set(h, c);
            return c->fd;
        }
    return -1;
}

bool pathcache_add(path_hold *h, const char *name, const char *disk, int fd) {
    std::lock_guard<std::mutex> hold(cache_lock);
    path_node *parent = h->node;
    bool fresh = parent && drain() && !parent->dead && parent->gen == h->gen;
    path_node *n = fresh ? make_node(name, disk, fd) : nullptr;
    // make_node may have emptied a full cache, the parent with it.
    if (n && parent->dead) {
        n->fd = -1;
        drop(n);
        n = nullptr;
    }
    hold_drop(h);
    if (!n) return false;
    n->parent = parent;
    std::string &key = scratch();
    fold_into(key, name);
    parent->children[key].push_back(n);
    hold_set(h, n);
    return true;
}

void pathcache_disk_name(const path_hold *h, char *out) {
    // Set when the node was made; a rename on disk drops the node.
    snprintf(out, WIN_NAME_LIMIT + 1, "%s", h->node ? h->node->disk.c_str() : "");
}

int pathcache_descriptor(const path_hold *h) {
    // Set when the node was made; a held node keeps it open.
    return h->node ? h->node->fd : -1;
}

bool pathcache_hold_copy(const path_hold *from, path_hold *to) {
    std::lock_guard<std::mutex> hold(cache_lock);
    path_node *n = from->node;
    if (!n || n->dead) return false;
    hold_set(to, n);
    return true;
}

bool pathcache_refresh(const path_hold *h) {
    std::lock_guard<std::mutex> hold(cache_lock);
    return drain() && h->node && !h->node->dead;
}

void pathcache_release(path_hold *h) {
    std::lock_guard<std::mutex> hold(cache_lock);
    hold_drop(h);
}

uint64_t pathcache_mount_changes() {
    return mount_changes.load(std::memory_order_relaxed);
}

void pathcache_clear() {
    std::lock_guard<std::mutex> hold(cache_lock);
    drop_all();
}

void win_folder_sweep(uint32_t idle_ms) {
    std::lock_guard<std::mutex> hold(cache_lock);
    if (notify_fd >= 0) sweep_all(idle_ms);
}
