// NFS version 2 as a client sees it: every procedure of the table answered
// with the bytes RFC 1094 lays out, the limits and log lines of bad
// arguments, the replay slots, read-only exports, and READ data placed
// behind an echoed verifier.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "nfsd/nfs.h"
#include "support/drive_temp.h"
#include "support/nfs_rig.h"
#include "support/rpc_msg.h"

namespace {

constexpr uint32_t NONE = 0xFFFFFFFF;  // a sattr field left alone
const std::string ROOT = "c:", F = "c:\\f.txt", DIR = "c:\\dir", LIST = "c:\\list",
                  E = "c:\\list\\e.txt", RO = "c:\\ro.txt", W = "c:\\w.txt", LN = "c:\\ln",
                  NEW = "c:\\new.txt", SUB = "c:\\sub";

using toks = nfs_toks;

struct row {
    const char *what;
    uint32_t proc;
    toks args;
    uint32_t accept;  // RPC accept status
    toks reply;       // the results, status first
    const char *log;  // a line the call logs, or null
};

class Nfs2 : public ::testing::Test {
   protected:
    void SetUp() override {
        rig.tree.make("f.txt", "hello");
        rig.tree.make("dir/");
        rig.tree.make("list/");
        rig.tree.make("list/e.txt", "e");
        rig.tree.make("ro.txt", "abc");
        rig.tree.make("w.txt");
        rig.tree.make("gone.txt", "x");
        rig.tree.make("old.txt", "old");
        rig.tree.log();
    }
    // Runs one row; "" when the reply and the log are as the row says.
    std::string run(const row &r) {
        std::vector<uint8_t> reply = rig.call(NFS_V2, r.proc, nfs_arg_bytes(rig, r.args));
        if (reply.empty()) return "no reply";
        uint32_t accept = nfs_accept_status(reply);
        if (accept != r.accept) return "accept status " + std::to_string(accept);
        std::string log = rig.tree.log();
        if (r.log && log.find(r.log) == std::string::npos) return "log lacks " + std::string(r.log);
        return r.accept == RPC_SUCCESS ? nfs_match(rig, r.reply, nfs_results(reply)) : "";
    }
    bool on_disk(const std::string &rel) { return access(rig.tree.host(rel).c_str(), F_OK) == 0; }

    nfs_rig rig;
};

TEST_F(Nfs2, EveryProcedureAnswersAsTheTableSays) {
    const row rows[] = {
        {"null", 0, {}, RPC_SUCCESS, {}, nullptr},
        {"getattr", 1, {fh2(F)}, RPC_SUCCESS, {w(0), fattr2(F, 1, 0100644, 5)}, nullptr},
        {"getattr of a stale handle", 1, {bytes(std::string(32, '\7'))}, RPC_SUCCESS, {w(70)},
         nullptr},
        {"getattr with the 16 bytes of a version 3 handle", 1, {w(16), bytes(std::string(16, '\20'))},
         RPC_GARBAGE_ARGS, {}, "nfs_getattr: cannot read args\n"},
        {"setattr of mode 0444", 2, toks{fh2(RO)} + nfs_sattr2(0444), RPC_SUCCESS,
         {w(0), fattr2(RO, 1, 0100444, 3)}, nullptr},
        {"setattr of the size of a read-only file", 2, toks{fh2(RO)} + nfs_sattr2(0644, 1),
         RPC_SUCCESS, {w(13)}, nullptr},
        {"setattr of mode 0644", 2, toks{fh2(RO)} + nfs_sattr2(0644), RPC_SUCCESS,
         {w(0), fattr2(RO, 1, 0100644, 3)}, nullptr},
        {"setattr of the size", 2, toks{fh2(RO)} + nfs_sattr2(NONE, 1), RPC_SUCCESS,
         {w(0), fattr2(RO, 1, 0100644, 1)}, nullptr},
        {"root is not served", 3, {}, RPC_PROC_UNAVAIL, {},
         "nfsd: error, procedure 3 not supported\n"},
        {"lookup", 4, {fh2(ROOT), name("f.txt")}, RPC_SUCCESS,
         {w(0), fh2(F), fattr2(F, 1, 0100644, 5)}, nullptr},
        {"lookup of .", 4, {fh2(DIR), name(".")}, RPC_SUCCESS,
         {w(0), fh2(DIR), fattr2(DIR, 2, 040755, 4096)}, nullptr},
        {"lookup of ..", 4, {fh2(DIR), name("..")}, RPC_SUCCESS,
         {w(0), fh2(ROOT), fattr2(ROOT, 2, 040755, 4096)}, nullptr},
        {"lookup of .. at the root", 4, {fh2(ROOT), name("..")}, RPC_SUCCESS,
         {w(0), fh2(ROOT), fattr2(ROOT, 2, 040755, 4096)}, nullptr},
        {"lookup of a missing name", 4, {fh2(ROOT), name("nope")}, RPC_SUCCESS, {w(2)}, nullptr},
        {"lookup of a name with a slash", 4, {fh2(ROOT), name("list/e.txt")}, RPC_SUCCESS,
         {w(2)}, nullptr},
        {"lookup of a device name", 4, {fh2(ROOT), name("con.txt")}, RPC_SUCCESS, {w(13)},
         nullptr},
        {"symlink", 13, toks{fh2(ROOT), name("ln"), name("f.txt")} + nfs_sattr2(0777), RPC_SUCCESS,
         {w(0)}, nullptr},
        {"readlink", 5, {fh2(LN)}, RPC_SUCCESS, {w(0), name("f.txt")}, nullptr},
        {"readlink of a plain file", 5, {fh2(E)}, RPC_SUCCESS, {w(5)}, nullptr},
        {"symlink with a text of 1025 bytes", 13,
         toks{fh2(ROOT), name("long"), name(std::string(1025, 'x'))} + nfs_sattr2(), RPC_SUCCESS,
         {w(0)}, nullptr},
        {"readlink of it is refused, not cut", 5, {fh2("c:\\long")}, RPC_SUCCESS, {w(63)},
         nullptr},
        {"read", 6, {fh2(F), w(1), w(8192), w(0)}, RPC_SUCCESS,
         {w(0), fattr2(F, 1, 0100644, 5), w(4), bytes("ello")}, nullptr},
        {"read past the end", 6, {fh2(F), w(100), w(10), w(0)}, RPC_SUCCESS,
         {w(0), fattr2(F, 1, 0100644, 5), w(0)}, nullptr},
        {"read of Datasize + 1", 6, {fh2(F), w(0), w(8193), w(0)}, RPC_GARBAGE_ARGS, {},
         "nfs_read: invalid read args\n"},
        {"read without totalcount", 6, {fh2(F), w(0), w(10)}, RPC_GARBAGE_ARGS, {},
         "nfs_read: invalid read args\n"},
        {"writecache is not served", 7, {}, RPC_PROC_UNAVAIL, {},
         "nfsd: error, procedure 7 not supported\n"},
        {"write", 8, {fh2(W), w(0), w(2), w(0), w(3), bytes("abc")}, RPC_SUCCESS,
         {w(0), fattr2(W, 1, 0100644, 5)}, nullptr},
        {"write with fewer bytes than its length", 8, {fh2(W), w(0), w(0), w(0), w(8), bytes("abc")},
         RPC_GARBAGE_ARGS, {}, "nfs_write: invalid write args\n"},
        {"write of Datasize + 1", 8,
         {fh2(W), w(0), w(0), w(0), w(8193), bytes(std::string(8193, 'x'))}, RPC_GARBAGE_ARGS, {},
         "nfs_write: invalid write args\n"},
        {"create", 9, toks{fh2(ROOT), name("new.txt")} + nfs_sattr2(0100644), RPC_SUCCESS,
         {w(0), fh2(NEW), fattr2(NEW, 1, 0100644, 0)}, nullptr},
        {"create of a FIFO", 9, toks{fh2(ROOT), name("fifo")} + nfs_sattr2(0010644), RPC_SUCCESS,
         {w(5)}, nullptr},
        {"create of a name with a NUL", 9, toks{fh2(ROOT), name(std::string("a\0b", 3))} + nfs_sattr2(),
         RPC_GARBAGE_ARGS, {}, "nfs_create: cannot read args\n"},
        {"remove", 10, {fh2(ROOT), name("gone.txt")}, RPC_SUCCESS, {w(0)}, nullptr},
        {"remove of a missing name", 10, {fh2(ROOT), name("gone.txt")}, RPC_SUCCESS, {w(2)},
         nullptr},
        {"rename", 11, {fh2(ROOT), name("old.txt"), fh2(DIR), name("moved.txt")}, RPC_SUCCESS,
         {w(0)}, nullptr},
        {"link", 12, {fh2(F), fh2(DIR), name("f2.txt")}, RPC_SUCCESS, {w(0)}, nullptr},
        {"mkdir", 14, toks{fh2(ROOT), name("sub")} + nfs_sattr2(0700), RPC_SUCCESS,
         {w(0), fh2(SUB), fattr2(SUB, 2, 040755, 4096)}, nullptr},
        {"mkdir of an existing name", 14, toks{fh2(ROOT), name("sub")} + nfs_sattr2(), RPC_SUCCESS,
         {w(17)}, nullptr},
        {"rmdir", 15, {fh2(ROOT), name("sub")}, RPC_SUCCESS, {w(0)}, nullptr},
        {"rmdir of a directory with files", 15, {fh2(ROOT), name("list")}, RPC_SUCCESS, {w(66)},
         nullptr},
        {"readdir", 16, {fh2(LIST), w(0), w(8192)}, RPC_SUCCESS,
         {w(0), w(1), ino(LIST), name("."), w(1), w(1), ino(ROOT), name(".."), w(2), w(1), ino(E),
          name("e.txt"), w(3), w(0), w(1)},
         nullptr},
        {"statfs", 17, {fh2(ROOT)}, RPC_SUCCESS, {w(0), w(8192), w(4096), any(3)}, nullptr},
        {"statfs of a stale handle", 17, {bytes(std::string(32, '\7'))}, RPC_SUCCESS, {w(70)},
         nullptr},
        {"procedure 18 is unknown", 18, {}, RPC_PROC_UNAVAIL, {},
         "nfsd: error, procedure 18 not supported\n"},
    };
    for (const row &r : rows) EXPECT_EQ(run(r), "") << r.what;

    EXPECT_FALSE(on_disk("gone.txt"));
    EXPECT_FALSE(on_disk("old.txt"));
    EXPECT_EQ(read_file(rig.tree.host("dir/moved.txt")), "old");
    EXPECT_EQ(read_file(rig.tree.host("dir/f2.txt")), "hello");
    EXPECT_EQ(read_file(rig.tree.host("ln")), "f.txt");
    EXPECT_EQ(read_file(rig.tree.host("w.txt")), std::string("\0\0abc", 5));
    EXPECT_TRUE(on_disk("new.txt"));
    EXPECT_FALSE(on_disk("fifo"));
    EXPECT_FALSE(on_disk("sub"));
}

TEST_F(Nfs2, TruncatedArgumentsAreGarbageWithTheProcedureLogLine) {
    for (const auto &[proc, args] : nfs_sample_calls(NFS_V2)) {
        std::vector<uint8_t> whole = nfs_arg_bytes(rig, args);
        const char *line = nfs2_program.procs[proc].garbage_log;
        EXPECT_EQ(nfs_accept_status(rig.call(NFS_V2, proc, whole)), RPC_SUCCESS) << line;
        for (size_t keep : {size_t(0), whole.size() / 2 & ~size_t(3), whole.size() - 4}) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(keep));
            rig.tree.log();
            EXPECT_EQ(nfs_accept_status(rig.call(NFS_V2, proc, cut)), RPC_GARBAGE_ARGS)
                << line << " kept " << keep;
            EXPECT_EQ(rig.tree.log(), line) << "kept " << keep;
        }
    }
}

TEST_F(Nfs2, NamesLongerThan512BytesAreGarbage) {
    std::string longest(512, 'a'), longer(513, 'a');
    EXPECT_EQ(nfs_results(rig.call(NFS_V2, 4, nfs_arg_bytes(rig, {fh2(ROOT), name(longest)}))),
              std::vector<uint32_t>{63});
    EXPECT_EQ(nfs_accept_status(
                  rig.call(NFS_V2, 4, nfs_arg_bytes(rig, {fh2(ROOT), name(longer)}))),
              RPC_GARBAGE_ARGS);
    std::string text(4097, 'l');
    EXPECT_EQ(nfs_accept_status(rig.call(
                  NFS_V2, 13, nfs_arg_bytes(rig, toks{fh2(ROOT), name("l"), name(text)} + nfs_sattr2()))),
              RPC_GARBAGE_ARGS);
    EXPECT_FALSE(on_disk("l"));
}

// A retransmitted CREATE whose first reply was lost gets that reply again,
// from the slot, even when the file has gone meanwhile.
TEST_F(Nfs2, ARepeatedCreateIsAnsweredFromItsSlot) {
    std::vector<uint8_t> args = nfs_arg_bytes(rig, toks{fh2(ROOT), name("once.txt")} + nfs_sattr2());
    std::vector<uint8_t> first = rig.call(NFS_V2, 9, args, 0x5150);
    ASSERT_EQ(nfs_results(first).at(0), 0u);
    ASSERT_EQ(unlink(rig.tree.host("once.txt").c_str()), 0);
    EXPECT_EQ(rig.call(NFS_V2, 9, args, 0x5150), first);
    EXPECT_FALSE(on_disk("once.txt"));
    EXPECT_EQ(nfs_results(rig.call(NFS_V2, 9, args, 0x5151)).at(0), 0u);
    EXPECT_TRUE(on_disk("once.txt"));
}

TEST_F(Nfs2, CreateWithACharacterDeviceModeMakesADeviceFile) {
    std::vector<uint32_t> r = nfs_results(rig.call(
        NFS_V2, 9, nfs_arg_bytes(rig, toks{fh2(ROOT), name("tty")} + nfs_sattr2(0020644, 0x0103))));
    ASSERT_EQ(r.size(), 1u + 8 + 17);
    EXPECT_EQ(r[0], 0u);
    EXPECT_EQ(r[9], 4u);        // character device
    EXPECT_EQ(r[10], 0020644u);  // mode
    EXPECT_EQ(r[16], 0x0103u);   // rdev: major 1, minor 3
    std::string header = read_file(rig.tree.host("tty"));
    ASSERT_EQ(header.size(), 32u);
    uint32_t words[8];
    memcpy(words, header.data(), 32);
    EXPECT_EQ(words[4], 4u);
    EXPECT_EQ(words[5], 1u);
    EXPECT_EQ(words[6], 3u);
    EXPECT_EQ(words[7], 0644u);
}

// The file data is read into the reply at its final place, which moves
// with the length of the verifier the reply echoes.
TEST_F(Nfs2, ReadDataFollowsAnEchoedVerifier) {
    std::vector<uint8_t> verf = {1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> msg = rpc_msg_call(0x77, NFS_PROG, NFS_V2, 6, 0, {}, 0, verf);
    std::vector<uint8_t> args = nfs_arg_bytes(rig, {fh2(F), w(0), w(5), w(0)});
    msg.insert(msg.end(), args.begin(), args.end());
    std::vector<uint8_t> reply = rig.send(msg);
    // header: xid REPLY ACCEPTED flavour length, 8 verifier bytes, status
    ASSERT_EQ(reply.size(), 20u + 8 + 4 + 4 + 68 + 4 + 8);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 20, reply.begin() + 28),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(std::string(reply.end() - 8, reply.end()), std::string("hello\0\0\0", 8));
}

TEST(Nfs2ReadOnly, ChangesAnswer30AndLeaveTheDiskAlone) {
    nfs_rig rig("c:\\ -ro -maproot:0\n");
    rig.tree.make("f.txt", "hello");
    rig.tree.make("dir/");
    struct stat before, after;
    ASSERT_EQ(stat(rig.tree.host("f.txt").c_str(), &before), 0);
    const std::pair<uint32_t, toks> calls[] = {
        {2, toks{fh2(F)} + nfs_sattr2(0444, 0)},
        {8, {fh2(F), w(0), w(0), w(0), w(3), bytes("abc")}},
        {9, toks{fh2(ROOT), name("new.txt")} + nfs_sattr2()},
        {10, {fh2(ROOT), name("f.txt")}},
        {11, {fh2(ROOT), name("f.txt"), fh2(ROOT), name("g.txt")}},
        {12, {fh2(F), fh2(ROOT), name("g.txt")}},
        {13, toks{fh2(ROOT), name("ln"), name("f.txt")} + nfs_sattr2()},
        {14, toks{fh2(ROOT), name("sub")} + nfs_sattr2()},
        {15, {fh2(ROOT), name("dir")}},
    };
    for (const auto &[proc, args] : calls)
        EXPECT_EQ(nfs_results(rig.call(NFS_V2, proc, nfs_arg_bytes(rig, args))).at(0), 30u)
            << "procedure " << proc;
    EXPECT_EQ(read_file(rig.tree.host("f.txt")), "hello");
    ASSERT_EQ(stat(rig.tree.host("f.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    for (const char *gone : {"new.txt", "g.txt", "ln", "sub"})
        EXPECT_NE(access(rig.tree.host(gone).c_str(), F_OK), 0) << gone;
    EXPECT_EQ(access(rig.tree.host("dir").c_str(), F_OK), 0);
    EXPECT_EQ(nfs_results(rig.call(NFS_V2, 1, nfs_arg_bytes(rig, {fh2(F)}))).at(0), 0u);
}

TEST(Nfs2Table, IsWellFormed) {
    EXPECT_TRUE(rpc_program_valid(&nfs2_program));
    EXPECT_EQ(nfs2_program.count, 18u);
}

}  // namespace
