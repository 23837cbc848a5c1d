/* The client of bench/vs-ganesha.sh: one workload against one NFS version 3
 * server over TCP through libnfs, timed from the first call after the mount
 * to the last reply. Prints the seconds on standard output.
 *
 *   vs-ganesha-client SERVER EXPORT WORKLOAD
 *
 * Workloads (paths relative to the export):
 *   write    writes "big" (256 MiB) sequentially, then COMMIT and close
 *   read     reads "big" sequentially
 *   list     lists the folder "list" (2,000 names, made beforehand)
 *   create   creates 2,000 small files in "small", then removes them
 *   stat     walks the folder "tree" (100 folders of 100 files, made
 *            beforehand) and asks for the attributes of every file
 *   copy     copies the local folder $SOURCE (default /usr/include) to
 *            "copy" as tar x would: folders, files, symbolic links, then
 *            each one's mode and times (folders' last, once filled)
 *   compare  walks "copy" (READDIRPLUS), reads every file and link and
 *            compares each with $SOURCE; fails on any difference
 *   inflight asks for the attributes of every file of "tree" by path,
 *            keeping 64 calls in flight on one connection (the async API)
 *   clients  8 processes, each with its own connection and folder
 *            "mN", run create/write/read/list/rename/remove rounds;
 *            the time covers them all from a common start
 *
 * Names a server that folds case would merge (xt_MARK.h beside
 * xt_mark.h), or that hold a character such a server refuses, are left
 * out of the copy and the compare alike, so that both servers hold the
 * same tree.
 *
 * Built by the script: cc -O2 vs-ganesha-client.c -lnfs */
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <nfsc/libnfs.h> /* after sys/time.h: its entries hold struct timeval */

#define BIG_SIZE (256u << 20)
#define CHUNK (1u << 20)
#define SMALL_FILES 2000
#define SMALL_SIZE 100
#define NFS_VERSION 3

static struct nfs_context *nfs;

static void fail(const char *what) {
    fprintf(stderr, "vs-ganesha-client: %s: %s\n", what, nfs_get_error(nfs));
    exit(1);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void big_write(void) {
    static char buf[CHUNK];
    for (unsigned i = 0; i < CHUNK; i++) buf[i] = (char)(i * 7 + 3);
    struct nfsfh *fh;
    if (nfs_open(nfs, "/big", O_WRONLY | O_CREAT | O_TRUNC, &fh) != 0) fail("open big");
    for (unsigned done = 0; done < BIG_SIZE; done += CHUNK)
        if (nfs_write(nfs, fh, CHUNK, buf) != (int)CHUNK) fail("write big");
    if (nfs_fsync(nfs, fh) != 0) fail("commit big");
    if (nfs_close(nfs, fh) != 0) fail("close big");
}

static void big_read(void) {
    static char buf[CHUNK];
    struct nfsfh *fh;
    uint64_t total = 0;
    if (nfs_open(nfs, "/big", O_RDONLY, &fh) != 0) fail("open big");
    for (;;) {
        int n = nfs_read(nfs, fh, CHUNK, buf);
        if (n < 0) fail("read big");
        if (n == 0) break;
        total += (uint64_t)n;
    }
    nfs_close(nfs, fh);
    if (total != BIG_SIZE) {
        fprintf(stderr, "vs-ganesha-client: read %llu bytes of big\n", (unsigned long long)total);
        exit(1);
    }
}

static unsigned list_folder(const char *path) {
    struct nfsdir *dir;
    struct nfsdirent *e;
    unsigned names = 0;
    if (nfs_opendir(nfs, path, &dir) != 0) fail("opendir");
    while ((e = nfs_readdir(nfs, dir)) != NULL)
        if (strcmp(e->name, ".") != 0 && strcmp(e->name, "..") != 0) names++;
    nfs_closedir(nfs, dir);
    return names;
}

static void list(void) {
    unsigned names = list_folder("/list");
    if (names != SMALL_FILES) {
        fprintf(stderr, "vs-ganesha-client: listed %u names\n", names);
        exit(1);
    }
}

static void create_remove(void) {
    char path[64], data[SMALL_SIZE];
    memset(data, 'x', sizeof data);
    for (int i = 0; i < SMALL_FILES; i++) {
        struct nfsfh *fh;
        snprintf(path, sizeof path, "/small/f%04d", i);
        if (nfs_creat(nfs, path, 0644, &fh) != 0) fail("create");
        if (nfs_write(nfs, fh, sizeof data, data) != (int)sizeof data) fail("write small");
        if (nfs_close(nfs, fh) != 0) fail("close small");
    }
    for (int i = 0; i < SMALL_FILES; i++) {
        snprintf(path, sizeof path, "/small/f%04d", i);
        if (nfs_unlink(nfs, path) != 0) fail("remove");
    }
}

static void stat_tree(void) {
    char path[128];
    unsigned files = 0;
    struct nfsdir *top;
    struct nfsdirent *d;
    if (nfs_opendir(nfs, "/tree", &top) != 0) fail("opendir tree");
    while ((d = nfs_readdir(nfs, top)) != NULL) {
        if (d->name[0] == '.') continue;
        char folder[64];
        snprintf(folder, sizeof folder, "/tree/%s", d->name);
        struct nfsdir *dir;
        struct nfsdirent *e;
        if (nfs_opendir(nfs, folder, &dir) != 0) fail("opendir folder");
        while ((e = nfs_readdir(nfs, dir)) != NULL) {
            if (e->name[0] == '.') continue;
            struct nfs_stat_64 st;
            snprintf(path, sizeof path, "%s/%s", folder, e->name);
            if (nfs_stat64(nfs, path, &st) != 0) fail("stat");
            files++;
        }
        nfs_closedir(nfs, dir);
    }
    nfs_closedir(nfs, top);
    if (files != 10000) {
        fprintf(stderr, "vs-ganesha-client: found %u files in the tree\n", files);
        exit(1);
    }
}

/* ---- many calls in flight on one connection ---- */

#define IN_FLIGHT 64
#define TREE_FILES 10000

static unsigned flight_next, flight_done;
static int flight_failed;

static void flight_send(void);

static void flight_answer(int err, struct nfs_context *ctx, void *data, void *private_data) {
    (void)ctx, (void)data, (void)private_data;
    if (err < 0) flight_failed = 1;
    flight_done++;
    flight_send();
}

/* Starts the stat of the next file, if any is left. */
static void flight_send(void) {
    char path[64];
    if (flight_next >= TREE_FILES) return;
    snprintf(path, sizeof path, "/tree/d%02u/f%02u", flight_next / 100, flight_next % 100);
    flight_next++;
    if (nfs_stat64_async(nfs, path, flight_answer, NULL) != 0) fail("stat async");
}

static void in_flight(void) {
    for (int i = 0; i < IN_FLIGHT; i++) flight_send();
    while (flight_done < TREE_FILES && !flight_failed) {
        struct pollfd p = {nfs_get_fd(nfs), (short)nfs_which_events(nfs), 0};
        if (poll(&p, 1, 1000) < 0) fail("poll");
        if (nfs_service(nfs, p.revents) < 0) fail("service");
    }
    if (flight_failed) fail("stat in flight");
}

/* ---- tree copy and compare ---- */

static const char *source_root(void) {
    const char *s = getenv("SOURCE");
    return s && *s ? s : "/usr/include";
}

/* Whether `name` may be copied: no character a Windows-style server
 * refuses, and no earlier sibling (in `seen`, n names) equal to it
 * ignoring case. */
static int name_usable(const char *name, char seen[][256], int n) {
    if (strpbrk(name, "\\:*?\"<>|")) return 0;
    for (int i = 0; i < n; i++)
        if (strcasecmp(seen[i], name) == 0) return 0;
    return 1;
}

/* The usable entries of local folder `dir`, sorted so both runs see the
 * same order; returns the count (at most max). */
static int usable_entries(const char *dir, char names[][256], int max) {
    struct dirent **list;
    int n = scandir(dir, &list, NULL, alphasort), kept = 0;
    if (n < 0) {
        perror(dir);
        exit(1);
    }
    for (int i = 0; i < n; i++) {
        const char *d = list[i]->d_name;
        if (strcmp(d, ".") != 0 && strcmp(d, "..") != 0 && kept < max &&
            name_usable(d, names, kept) && strlen(d) < 256)
            strcpy(names[kept++], d);
        free(list[i]);
    }
    free(list);
    return kept;
}

#define MAX_ENTRIES 4096

/* The local and remote paths of entry `name` (4096 bytes each) and its
 * local status; false when it cannot be read. */
static int entry_paths(const char *local, const char *remote, const char *name, char *l, char *r,
                       struct stat *st) {
    snprintf(l, 4096, "%s/%s", local, name);
    snprintf(r, 4096, "%s/%s", remote, name);
    return lstat(l, st) == 0;
}
static char copy_buf[CHUNK], compare_buf[CHUNK];
static unsigned long tree_entries;

static void set_meta(const char *remote, const struct stat *st, int link) {
    struct timeval tv[2] = {{st->st_atim.tv_sec, st->st_atim.tv_nsec / 1000},
                            {st->st_mtim.tv_sec, st->st_mtim.tv_nsec / 1000}};
    if (!link && nfs_chmod(nfs, remote, st->st_mode & 07777) != 0) fail("chmod");
    if ((link ? nfs_lutimes(nfs, remote, tv) : nfs_utimes(nfs, remote, tv)) != 0) fail("utimes");
}

static void copy_file(const char *local, const char *remote, const struct stat *st) {
    int fd = open(local, O_RDONLY);
    if (fd < 0) {
        perror(local);
        exit(1);
    }
    struct nfsfh *fh;
    if (nfs_creat(nfs, remote, 0600, &fh) != 0) fail("create copy");
    ssize_t n;
    while ((n = read(fd, copy_buf, sizeof copy_buf)) > 0)
        if (nfs_write(nfs, fh, (uint64_t)n, copy_buf) != n) fail("write copy");
    close(fd);
    if (nfs_close(nfs, fh) != 0) fail("close copy");
    set_meta(remote, st, 0);
}

static void copy_tree(const char *local, const char *remote) {
    static char names[16][MAX_ENTRIES][256];
    static int depth;
    char (*mine)[256] = names[depth];
    int n = usable_entries(local, mine, MAX_ENTRIES);
    for (int i = 0; i < n; i++) {
        char l[4096], r[4096];
        struct stat st;
        if (!entry_paths(local, remote, mine[i], l, r, &st)) continue;
        tree_entries++;
        if (S_ISDIR(st.st_mode) && depth < 15) {
            if (nfs_mkdir(nfs, r) != 0) fail("mkdir copy");
            depth++;
            copy_tree(l, r);
            depth--;
            set_meta(r, &st, 0);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t len = readlink(l, target, sizeof target - 1);
            if (len < 0) continue;
            target[len] = 0;
            if (nfs_symlink(nfs, target, r) != 0) fail("symlink copy");
            set_meta(r, &st, 1);
        } else if (S_ISREG(st.st_mode)) {
            copy_file(l, r, &st);
        } else {
            tree_entries--;
        }
    }
}

static void tree_copy(void) {
    if (nfs_mkdir(nfs, "/copy") != 0) fail("mkdir /copy");
    copy_tree(source_root(), "/copy");
    fprintf(stderr, "copied %lu entries\n", tree_entries);
}

static void differ(const char *what, const char *path) {
    fprintf(stderr, "vs-ganesha-client: %s differs: %s\n", what, path);
    exit(1);
}

static void compare_file(const char *local, const char *remote, const struct stat *st) {
    int fd = open(local, O_RDONLY);
    struct nfsfh *fh;
    if (fd < 0 || nfs_open(nfs, remote, O_RDONLY, &fh) != 0) differ("file", remote);
    for (;;) {
        ssize_t n = read(fd, copy_buf, sizeof copy_buf);
        int got = nfs_read(nfs, fh, (uint64_t)(n > 0 ? n : 1), compare_buf);
        if (n < 0 || got < 0) differ("read", remote);
        if (n == 0) {
            if (got != 0) differ("length", remote);
            break;
        }
        if (got != n || memcmp(copy_buf, compare_buf, (size_t)n) != 0) differ("content", remote);
    }
    close(fd);
    nfs_close(nfs, fh);
    (void)st;
}

static void compare_tree(const char *local, const char *remote) {
    static char names[16][MAX_ENTRIES][256];
    static int depth;
    char (*mine)[256] = names[depth];
    int n = usable_entries(local, mine, MAX_ENTRIES);
    /* The listing, with attributes (READDIRPLUS), must hold exactly
     * the usable names, each of the local type and size. */
    struct nfsdir *dir;
    struct nfsdirent *e;
    int listed = 0;
    if (nfs_opendir(nfs, remote, &dir) != 0) differ("listing", remote);
    while ((e = nfs_readdir(nfs, dir)) != NULL) {
        if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0) continue;
        int found = -1;
        for (int i = 0; i < n && found < 0; i++)
            if (strcmp(mine[i], e->name) == 0) found = i;
        if (found < 0) differ("extra name", e->name);
        listed++;
    }
    nfs_closedir(nfs, dir);
    if (listed != n) differ("name count", remote);
    for (int i = 0; i < n; i++) {
        char l[4096], r[4096];
        struct stat st;
        if (!entry_paths(local, remote, mine[i], l, r, &st)) continue;
        if (S_ISDIR(st.st_mode) && depth < 15) {
            depth++;
            compare_tree(l, r);
            depth--;
        } else if (S_ISLNK(st.st_mode)) {
            char a[4096], b[4096];
            ssize_t len = readlink(l, a, sizeof a - 1);
            if (len < 0) continue;
            a[len] = 0;
            if (nfs_readlink(nfs, r, b, sizeof b) != 0 || strcmp(a, b) != 0) differ("link", r);
        } else if (S_ISREG(st.st_mode)) {
            compare_file(l, r, &st);
        }
    }
}

static void tree_compare(void) {
    compare_tree(source_root(), "/copy");
}

/* ---- many clients ---- */

#define CLIENTS 8
#define ROUNDS 150
#define ROUND_SIZE 4096

static const char *server_name, *export_name;

/* One client's rounds on its own folder: create and write a file, read it
 * back, rename it, list the folder every tenth round, remove it. */
static void client_rounds(int me) {
    char dir[32], a[64], b[64], data[ROUND_SIZE], back[ROUND_SIZE];
    memset(data, 'a' + me, sizeof data);
    snprintf(dir, sizeof dir, "/m%d", me);
    if (nfs_mkdir(nfs, dir) != 0) fail("mkdir client");
    for (int i = 0; i < ROUNDS; i++) {
        struct nfsfh *fh;
        snprintf(a, sizeof a, "%s/f%d", dir, i);
        snprintf(b, sizeof b, "%s/g%d", dir, i);
        if (nfs_creat(nfs, a, 0644, &fh) != 0) fail("create client");
        if (nfs_write(nfs, fh, sizeof data, data) != (int)sizeof data) fail("write client");
        if (nfs_close(nfs, fh) != 0) fail("close client");
        if (nfs_open(nfs, a, O_RDONLY, &fh) != 0) fail("open client");
        if (nfs_read(nfs, fh, sizeof back, back) != (int)sizeof back || memcmp(data, back, sizeof back))
            fail("read client");
        nfs_close(nfs, fh);
        if (nfs_rename(nfs, a, b) != 0) fail("rename client");
        if (i % 10 == 9) list_folder(dir);
        if (nfs_unlink(nfs, b) != 0) fail("remove client");
    }
    if (nfs_rmdir(nfs, dir) != 0) fail("rmdir client");
}

/* Forks the clients; each mounts, says it is ready, and starts when the
 * parent closes the start pipe. Answers the seconds from that start to the
 * last client's end. */
static double many_clients(void) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return -1;
    for (int c = 0; c < CLIENTS; c++) {
        if (fork() != 0) continue;
        close(ready[0]);
        close(go[1]);
        nfs = nfs_init_context();
        nfs_set_version(nfs, NFS_VERSION);
        if (!nfs || nfs_mount(nfs, server_name, export_name) != 0) fail("mount client");
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 0) _exit(1);
        client_rounds(c);
        nfs_destroy_context(nfs);
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    char byte;
    for (int c = 0; c < CLIENTS; c++)
        if (read(ready[0], &byte, 1) != 1) fail("client start");
    double begun = now();
    close(go[1]);
    int failed = 0, status;
    while (wait(&status) > 0) failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    if (failed) {
        fprintf(stderr, "vs-ganesha-client: a client failed\n");
        exit(1);
    }
    double took = now() - begun;
    fprintf(stderr, "%.0f operations per second\n", CLIENTS * ROUNDS * 6.1 / took);
    return took;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: vs-ganesha-client SERVER EXPORT write|read|list|create|stat|inflight|copy|compare|clients\n");
        return 2;
    }
    static const struct {
        const char *name;
        void (*run)(void);
    } workloads[] = {{"write", big_write},   {"read", big_read}, {"list", list},
                     {"create", create_remove}, {"stat", stat_tree},
                     {"copy", tree_copy},     {"compare", tree_compare},
                     {"inflight", in_flight}};
    void (*run)(void) = NULL;
    for (size_t i = 0; i < sizeof workloads / sizeof workloads[0]; i++)
        if (strcmp(argv[3], workloads[i].name) == 0) run = workloads[i].run;
    server_name = argv[1];
    export_name = argv[2];
    if (strcmp(argv[3], "clients") == 0) {
        printf("%.3f\n", many_clients());
        return 0;
    }
    if (!run) {
        fprintf(stderr, "vs-ganesha-client: unknown workload %s\n", argv[3]);
        return 2;
    }
    nfs = nfs_init_context();
    if (!nfs) return 1;
    nfs_set_version(nfs, NFS_VERSION);
    if (nfs_mount(nfs, argv[1], argv[2]) != 0) fail("mount");
    double begun = now();
    run();
    printf("%.3f\n", now() - begun);
    nfs_umount(nfs);
    nfs_destroy_context(nfs);
    return 0;
}
