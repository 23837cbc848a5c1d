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
 *
 * Built by the script: cc -O2 vs-ganesha-client.c -lnfs */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

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

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: vs-ganesha-client SERVER EXPORT write|read|list|create|stat\n");
        return 2;
    }
    static const struct {
        const char *name;
        void (*run)(void);
    } workloads[] = {{"write", big_write},   {"read", big_read}, {"list", list},
                     {"create", create_remove}, {"stat", stat_tree}};
    void (*run)(void) = NULL;
    for (size_t i = 0; i < sizeof workloads / sizeof workloads[0]; i++)
        if (strcmp(argv[3], workloads[i].name) == 0) run = workloads[i].run;
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
