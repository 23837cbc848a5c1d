// NFS version 3 as a client sees it: every procedure of the table answered
// with the bytes RFC 1813 lays out (wcc data, verifiers, FSINFO, PATHCONF,
// ACCESS masks), READ counts and eof, WRITE stability, the create modes,
// MKNOD types, handle lengths, bad arguments, replay and read-only exports.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "nfsd/nfs.h"
#include "support/drive_temp.h"
#include "support/nfs_rig.h"

namespace {

const std::string ROOT = "c:", F = "c:\\f.txt", DIR = "c:\\dir", LIST = "c:\\list",
                  E = "c:\\list\\e.txt", RO = "c:\\ro.txt", X = "c:\\x.txt", W = "c:\\w.txt",
                  LN = "c:\\ln", NEW = "c:\\new.txt", SUB = "c:\\sub";
constexpr uint64_t HALF = 0x8000000000000000ull;  // 2^63

using toks = nfs_toks;
toks post(const std::string &path, uint32_t type, uint32_t mode, uint64_t size) {
    return {w(1), fattr3(path, type, mode, size)};
}
// wcc_data with both attribute reads present, their values not pinned.
toks wcc() {
    return {w(1), any(6), w(1), any(21)};
}
toks none_wcc() {
    return {w(0), w(0)};
}
const toks zero_verifier = {w(0), w(0)};

struct row {
    const char *what;
    uint32_t proc;
    toks args;
    uint32_t accept;
    toks reply;
    const char *log;
};

class Nfs3 : public ::testing::Test {
   protected:
    void SetUp() override {
        rig.tree.make("f.txt", "hello");
        rig.tree.make("dir/");
        rig.tree.make("list/");
        rig.tree.make("list/e.txt", "e");
        rig.tree.make("ro.txt", "abc");
        rig.tree.make("x.txt", "x");
        rig.tree.make("w.txt");
        rig.tree.make("gone.txt", "x");
        rig.tree.make("old.txt", "old");
        rig.tree.make("empty/");
        rig.tree.log();
    }
    std::string run(const row &r) {
        std::vector<uint8_t> reply = rig.call(NFS_V3, r.proc, nfs_arg_bytes(rig, r.args));
        if (reply.empty()) return "no reply";
        uint32_t accept = nfs_accept_status(reply);
        if (accept != r.accept) return "accept status " + std::to_string(accept);
        std::string log = rig.tree.log();
        if (r.log && log.find(r.log) == std::string::npos) return "log lacks " + std::string(r.log);
        return r.accept == RPC_SUCCESS ? nfs_match(rig, r.reply, nfs_results(reply)) : "";
    }
    bool on_disk(const std::string &rel) { return access(rig.tree.host(rel).c_str(), F_OK) == 0; }
    std::vector<uint32_t> results(uint32_t proc, const toks &args) {
        return nfs_results(rig.call(NFS_V3, proc, nfs_arg_bytes(rig, args)));
    }

    nfs_rig rig;
};

TEST_F(Nfs3, EveryProcedureAnswersAsTheTableSays) {
    const toks root_attr = post(ROOT, 2, 0755, 4096);
    const row rows[] = {
        {"null", 0, {}, RPC_SUCCESS, {}, nullptr},
        {"getattr", 1, {fh3(F)}, RPC_SUCCESS, {w(0), fattr3(F, 1, 0644, 5)}, nullptr},
        {"getattr of a stale handle", 1, {w(16), bytes(std::string(16, '\7'))}, RPC_SUCCESS,
         {w(70)}, nullptr},
        {"getattr with a handle of length 32", 1, {w(32), bytes(std::string(32, '\7'))},
         RPC_GARBAGE_ARGS, {}, "nfs3_getattr: cannot read args\n"},
        {"setattr of mode 0444", 2, toks{fh3(RO)} + nfs_sattr3(0444) + toks{w(0)}, RPC_SUCCESS,
         toks{w(0), w(1), any(6)} + post(RO, 1, 0444, 3), nullptr},
        {"setattr whose guard does not match is applied", 2,
         toks{fh3(X)} + nfs_sattr3(0755) + toks{w(1), w(12345), w(0)}, RPC_SUCCESS,
         toks{w(0), w(1), any(6)} + post(X, 1, 0755, 1), nullptr},
        {"lookup", 3, {fh3(ROOT), name("f.txt")}, RPC_SUCCESS,
         toks{w(0), fh3(F)} + post(F, 1, 0644, 5) + root_attr, nullptr},
        {"lookup of a missing name", 3, {fh3(ROOT), name("nope")}, RPC_SUCCESS,
         toks{w(2)} + root_attr, nullptr},
        {"access of a 0644 file", 4, {fh3(F), w(0x3F)}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + toks{w(0x1F)}, nullptr},
        {"access of a 0444 file", 4, {fh3(RO), w(0x3F)}, RPC_SUCCESS,
         toks{w(0)} + post(RO, 1, 0444, 3) + toks{w(0x03)}, nullptr},
        {"access of a hidden file", 4, {fh3(X), w(0x3F)}, RPC_SUCCESS,
         toks{w(0)} + post(X, 1, 0755, 1) + toks{w(0x3F)}, nullptr},
        {"access grants only what was asked", 4, {fh3(X), w(0x21)}, RPC_SUCCESS,
         toks{w(0)} + post(X, 1, 0755, 1) + toks{w(0x21)}, nullptr},
        {"symlink", 10, toks{fh3(ROOT), name("ln")} + nfs_sattr3() + toks{name("f.txt")}, RPC_SUCCESS,
         toks{w(0), w(1), fh3(LN)} + post(LN, 5, 0777, 5) + wcc(), nullptr},
        {"readlink", 5, {fh3(LN)}, RPC_SUCCESS, toks{w(0)} + post(LN, 5, 0777, 5) + toks{name("f.txt")},
         nullptr},
        {"symlink with a text of 1024 bytes", 10,
         toks{fh3(ROOT), name("long")} + nfs_sattr3() + toks{name(std::string(1024, 'x'))},
         RPC_SUCCESS, toks{w(0), w(1), fh3("c:\\long")} + post("c:\\long", 5, 0777, 1024) + wcc(),
         nullptr},
        {"readlink of 1024 bytes", 5, {fh3("c:\\long")}, RPC_SUCCESS,
         toks{w(0)} + post("c:\\long", 5, 0777, 1024) + toks{name(std::string(1024, 'x'))},
         nullptr},
        {"read", 6, {fh3(F), hyper(1), w(100)}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + toks{w(4), w(1), name("ello")}, nullptr},
        {"read of all but the end", 6, {fh3(F), hyper(0), w(4)}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + toks{w(4), w(0), name("hell")}, nullptr},
        {"read past the end", 6, {fh3(F), hyper(100), w(10)}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + toks{w(0), w(1), w(0)}, nullptr},
        {"read beyond 2^63", 6, {fh3(F), hyper(HALF + 1), w(10)}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + toks{w(0), w(1), w(0)}, nullptr},
        {"read without a count", 6, {fh3(F), hyper(0)}, RPC_GARBAGE_ARGS, {},
         "nfs3_read: invalid read args\n"},
        {"write unstable", 7, {fh3(W), hyper(0), w(3), w(0), name("abc")}, RPC_SUCCESS,
         toks{w(0), w(0)} + post(W, 1, 0644, 3) + toks{w(3), w(0)} + zero_verifier, nullptr},
        {"write data sync answers file sync", 7, {fh3(W), hyper(3), w(2), w(1), name("de")},
         RPC_SUCCESS, toks{w(0), w(0)} + post(W, 1, 0644, 5) + toks{w(2), w(2)} + zero_verifier,
         nullptr},
        {"write file sync", 7, {fh3(W), hyper(5), w(1), w(2), name("f")}, RPC_SUCCESS,
         toks{w(0), w(0)} + post(W, 1, 0644, 6) + toks{w(1), w(2)} + zero_verifier, nullptr},
        {"write whose length differs from its count", 7, {fh3(W), hyper(0), w(4), w(0), name("abc")},
         RPC_GARBAGE_ARGS, {}, "nfs3_write: invalid write args\n"},
        {"write with an unknown stable_how", 7, {fh3(W), hyper(0), w(3), w(3), name("abc")},
         RPC_GARBAGE_ARGS, {}, "nfs3_write: invalid write args\n"},
        {"write beyond 2^63", 7, {fh3(W), hyper(HALF), w(3), w(0), name("abc")}, RPC_SUCCESS,
         toks{w(27)} + none_wcc(), nullptr},
        {"create unchecked", 8, toks{fh3(ROOT), name("new.txt"), w(0)} + nfs_sattr3(0644), RPC_SUCCESS,
         toks{w(0), w(1), fh3(NEW)} + post(NEW, 1, 0644, 0) + wcc(), nullptr},
        {"create guarded of an existing name", 8, toks{fh3(ROOT), name("new.txt"), w(1)} + nfs_sattr3(),
         RPC_SUCCESS, toks{w(17)} + wcc(), nullptr},
        {"create exclusive", 8, {fh3(ROOT), name("excl.txt"), w(2), w(1), w(2)}, RPC_SUCCESS,
         toks{w(10004)} + wcc(), nullptr},
        {"create with an unknown mode", 8, toks{fh3(ROOT), name("u.txt"), w(3)} + nfs_sattr3(),
         RPC_GARBAGE_ARGS, {}, "nfs3_create: cannot read args\n"},
        {"mkdir", 9, toks{fh3(ROOT), name("sub")} + nfs_sattr3(0700), RPC_SUCCESS,
         toks{w(0), w(1), fh3(SUB)} + post(SUB, 2, 0755, 4096) + wcc(), nullptr},
        {"mknod of a FIFO", 11, toks{fh3(ROOT), name("fifo"), w(7)} + nfs_sattr3(), RPC_SUCCESS,
         toks{w(10004)} + wcc(), nullptr},
        {"mknod of a socket", 11, toks{fh3(ROOT), name("sock"), w(6)} + nfs_sattr3(), RPC_SUCCESS,
         toks{w(10004)} + wcc(), nullptr},
        {"mknod of a regular file", 11, {fh3(ROOT), name("reg"), w(1)}, RPC_SUCCESS,
         toks{w(10007)} + wcc(), nullptr},
        {"mknod of a character device", 11,
         toks{fh3(ROOT), name("tty"), w(4)} + nfs_sattr3(0600) + toks{w(1), w(3)}, RPC_SUCCESS,
         toks{w(0), w(1), fh3("c:\\tty"), w(1), w(4), w(0600), any(3), w(0), w(32), w(0), w(32),
              w(1), w(3), any(10)} +
             wcc(),
         nullptr},
        {"remove", 12, {fh3(ROOT), name("gone.txt")}, RPC_SUCCESS, toks{w(0)} + wcc(), nullptr},
        {"remove of a missing name", 12, {fh3(ROOT), name("gone.txt")}, RPC_SUCCESS,
         toks{w(2)} + wcc(), nullptr},
        {"rmdir", 13, {fh3(ROOT), name("empty")}, RPC_SUCCESS, toks{w(0)} + wcc(), nullptr},
        {"rename", 14, {fh3(ROOT), name("old.txt"), fh3(DIR), name("moved.txt")}, RPC_SUCCESS,
         toks{w(0)} + wcc() + wcc(), nullptr},
        {"link", 15, {fh3(F), fh3(DIR), name("f2.txt")}, RPC_SUCCESS,
         toks{w(0)} + post(F, 1, 0644, 5) + wcc(), nullptr},
        {"link of a missing file", 15, {w(16), bytes(std::string(16, '\7')), fh3(DIR), name("f3")},
         RPC_SUCCESS, toks{w(70), w(0)} + wcc(), nullptr},
        {"readdir", 16, {fh3(LIST), hyper(0), hyper(0), w(8192)}, RPC_SUCCESS,
         toks{w(0)} + post(LIST, 2, 0755, 4096) + zero_verifier +
             toks{w(1), w(0), ino(LIST), name("."), w(0), w(1),       //
                  w(1), w(0), ino(ROOT), name(".."), w(0), w(2),      //
                  w(1), w(0), ino(E), name("e.txt"), w(0), w(3),      //
                  w(0), w(1)},
         nullptr},
        {"readdirplus", 17, {fh3(LIST), hyper(0), hyper(0), w(8192), w(8192)}, RPC_SUCCESS,
         toks{w(0)} + post(LIST, 2, 0755, 4096) + zero_verifier +
             toks{w(1), w(0), ino(LIST), name("."), w(0), w(1)} + post(LIST, 2, 0755, 4096) +
             toks{w(1), fh3(LIST)} +
             toks{w(1), w(0), ino(ROOT), name(".."), w(0), w(2)} + root_attr +
             toks{w(1), fh3(ROOT)} +
             toks{w(1), w(0), ino(E), name("e.txt"), w(0), w(3)} + post(E, 1, 0644, 1) +
             toks{w(1), fh3(E), w(0), w(1)},
         nullptr},
        {"fsstat", 18, {fh3(ROOT)}, RPC_SUCCESS,
         toks{w(0)} + root_attr +
             toks{any(6), w(0), w(65535), w(0), w(65535), w(0), w(65535), w(0)},
         nullptr},
        {"fsinfo", 19, {fh3(ROOT)}, RPC_SUCCESS,
         toks{w(0)} + root_attr +
             toks{w(8192), w(8192), w(4096), w(8192), w(8192), w(4096), w(8192), w(0xFFFFFFFF),
                  w(0xFFFFFFFE), w(1), w(0), w(27)},
         nullptr},
        {"pathconf", 20, {fh3(ROOT)}, RPC_SUCCESS,
         toks{w(0)} + root_attr + toks{w(1), any(), w(1), w(0), w(1), w(1)}, nullptr},
        {"commit", 21, {fh3(W), hyper(0), w(0)}, RPC_SUCCESS,
         toks{w(0), w(0)} + post(W, 1, 0644, 6) + zero_verifier, nullptr},
        {"commit again: the same verifier", 21, {fh3(W), hyper(0), w(0)}, RPC_SUCCESS,
         toks{w(0), w(0)} + post(W, 1, 0644, 6) + zero_verifier, nullptr},
        {"procedure 22 is unknown", 22, {}, RPC_PROC_UNAVAIL, {},
         "nfsd: error, procedure 22 not supported\n"},
    };
    for (const row &r : rows) EXPECT_EQ(run(r), "") << r.what;

    EXPECT_FALSE(on_disk("gone.txt"));
    EXPECT_FALSE(on_disk("empty"));
    EXPECT_EQ(read_file(rig.tree.host("dir/moved.txt")), "old");
    EXPECT_EQ(read_file(rig.tree.host("dir/f2.txt")), "hello");
    EXPECT_EQ(read_file(rig.tree.host("w.txt")), "abcdef");
    EXPECT_EQ(read_file(rig.tree.host("ln")), "f.txt");
    for (const char *never : {"excl.txt", "fifo", "sock", "reg", "u.txt"})
        EXPECT_FALSE(on_disk(never)) << never;
}

TEST_F(Nfs3, TruncatedArgumentsAreGarbageWithTheProcedureLogLine) {
    for (const auto &[proc, args] : nfs_sample_calls(NFS_V3)) {
        std::vector<uint8_t> whole = nfs_arg_bytes(rig, args);
        const char *line = nfs3_program.procs[proc].garbage_log;
        EXPECT_EQ(nfs_accept_status(rig.call(NFS_V3, proc, whole)), RPC_SUCCESS) << line;
        for (size_t keep : {size_t(0), whole.size() / 2 & ~size_t(3), whole.size() - 4}) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(keep));
            rig.tree.log();
            EXPECT_EQ(nfs_accept_status(rig.call(NFS_V3, proc, cut)), RPC_GARBAGE_ARGS)
                << line << " kept " << keep;
            EXPECT_EQ(rig.tree.log(), line) << "kept " << keep;
        }
        // The first handle with another length than 16.
        for (uint32_t length : {0u, 8u, 32u}) {
            std::vector<uint8_t> other = whole;
            other[3] = uint8_t(length);
            EXPECT_EQ(nfs_accept_status(rig.call(NFS_V3, proc, other)), RPC_GARBAGE_ARGS)
                << line << " handle length " << length;
        }
    }
}

TEST_F(Nfs3, ReadReturnsAtMostDatasizeAndSaysWhereTheFileEnds) {
    std::string big(20000, 'b');
    for (size_t i = 0; i < big.size(); i++) big[i] = char('a' + i % 26);
    rig.tree.make("big", big);
    std::vector<uint32_t> r = results(6, {fh3("c:\\big"), hyper(4000), w(65536)});
    ASSERT_GE(r.size(), 26u);
    EXPECT_EQ(r[0], 0u);
    EXPECT_EQ(r[23], 8192u);  // count
    EXPECT_EQ(r[24], 0u);     // eof
    EXPECT_EQ(r[25], 8192u);  // data length
    std::vector<uint8_t> reply = rig.call(NFS_V3, 6, nfs_arg_bytes(rig, {fh3("c:\\big"), hyper(16000), w(65536)}));
    r = nfs_results(reply);
    EXPECT_EQ(r[23], 4000u);
    EXPECT_EQ(r[24], 1u);
    EXPECT_EQ(std::string(reply.end() - 4000, reply.end()), big.substr(16000));
}

TEST_F(Nfs3, ARepeatedCreateIsAnsweredFromItsSlot) {
    std::vector<uint8_t> args =
        nfs_arg_bytes(rig, toks{fh3(ROOT), name("once.txt"), w(1)} + nfs_sattr3());
    std::vector<uint8_t> first = rig.call(NFS_V3, 8, args, 0x5150);
    ASSERT_EQ(nfs_results(first).at(0), 0u);
    ASSERT_EQ(unlink(rig.tree.host("once.txt").c_str()), 0);
    EXPECT_EQ(rig.call(NFS_V3, 8, args, 0x5150), first);
    EXPECT_FALSE(on_disk("once.txt"));
    // Another transaction is new work: GUARDED finds nothing in its way.
    EXPECT_EQ(nfs_results(rig.call(NFS_V3, 8, args, 0x5151)).at(0), 0u);
    EXPECT_TRUE(on_disk("once.txt"));
}

TEST(Nfs3Settings, FsinfoReportsDatasize) {
    nfs_rig rig("c:\\ -maproot:0\n", "127.0.0.1", 32768);
    std::vector<uint32_t> r = nfs_results(rig.call(NFS_V3, 19, nfs_arg_bytes(rig, {fh3(ROOT)})));
    ASSERT_EQ(r.size(), 2u + 21 + 12);
    EXPECT_EQ(std::vector<uint32_t>(r.begin() + 23, r.end()),
              (std::vector<uint32_t>{32768, 32768, 4096, 32768, 32768, 4096, 32768, 0xFFFFFFFF,
                                     0xFFFFFFFE, 1, 0, 27}));
}

TEST(Nfs3Settings, PathconfOfALowercaseExportIsNotCasePreserving) {
    for (const char *exports : {"c:\\ -lowercase\n", "c:\\\n"}) {
        nfs_rig rig(exports);
        std::vector<uint32_t> r =
            nfs_results(rig.call(NFS_V3, 20, nfs_arg_bytes(rig, {fh3(ROOT)})));
        ASSERT_EQ(r.size(), 2u + 21 + 6) << exports;
        uint32_t preserving = strstr(exports, "lowercase") ? 0 : 1;
        EXPECT_EQ(std::vector<uint32_t>(r.begin() + 23, r.end()),
                  (std::vector<uint32_t>{1, rig.tree.env.entries()[0]->max_name, 1, 0, 1,
                                         preserving}))
            << exports;
    }
}

TEST(Nfs3ReadOnly, ChangesAnswer30AndLeaveTheDiskAlone) {
    nfs_rig rig("c:\\ -ro -maproot:0\n");
    rig.tree.make("f.txt", "hello");
    rig.tree.make("dir/");
    struct stat before, after;
    ASSERT_EQ(stat(rig.tree.host("f.txt").c_str(), &before), 0);
    const std::pair<uint32_t, toks> calls[] = {
        {2, toks{fh3(F)} + nfs_sattr3(0444) + toks{w(0)}},
        {7, {fh3(F), hyper(0), w(3), w(2), name("abc")}},
        {8, toks{fh3(ROOT), name("new.txt"), w(0)} + nfs_sattr3()},
        {9, toks{fh3(ROOT), name("sub")} + nfs_sattr3()},
        {10, toks{fh3(ROOT), name("ln")} + nfs_sattr3() + toks{name("f.txt")}},
        {11, toks{fh3(ROOT), name("tty"), w(4)} + nfs_sattr3() + toks{w(1), w(3)}},
        {12, {fh3(ROOT), name("f.txt")}},
        {13, {fh3(ROOT), name("dir")}},
        {14, {fh3(ROOT), name("f.txt"), fh3(ROOT), name("g.txt")}},
        {15, {fh3(F), fh3(ROOT), name("g.txt")}},
        {21, {fh3(F), hyper(0), w(0)}},
    };
    for (const auto &[proc, args] : calls)
        EXPECT_EQ(nfs_results(rig.call(NFS_V3, proc, nfs_arg_bytes(rig, args))).at(0), 30u)
            << "procedure " << proc;
    EXPECT_EQ(read_file(rig.tree.host("f.txt")), "hello");
    ASSERT_EQ(stat(rig.tree.host("f.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    for (const char *gone : {"new.txt", "g.txt", "ln", "sub", "tty"})
        EXPECT_NE(access(rig.tree.host(gone).c_str(), F_OK), 0) << gone;
    EXPECT_EQ(access(rig.tree.host("dir").c_str(), F_OK), 0);
}

TEST(Nfs3Table, IsWellFormed) {
    EXPECT_TRUE(rpc_program_valid(&nfs3_program));
    EXPECT_EQ(nfs3_program.count, 22u);
}

}  // namespace
