// NFS versions 2 and 3 as a client sees them: every procedure answered with
// the bytes RFC 1094 and RFC 1813 lay out, bad arguments, the replay slots,
// and what an export lets through (13 to hosts it does not admit however
// they came by the handle, 30 to changes on a read-only export).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <span>

#include "fh/fh.h"
#include "names/nfs_status.h"
#include "nfsd/nfs.h"
#include "nfsd/readdir.h"
#include "platform/bytes.h"
#include "platform/winerr.h"
#include "platform/winfile.h"
#include "support/fd_child.h"
#include "support/nfs_rig.h"
#include "support/readdir_reply.h"

namespace {

constexpr uint64_t HALF = 0x8000000000000000ull;  // 2^63
const std::string ROOT = "c:", F = "c:\\f.txt", DIR = "c:\\dir", LIST = "c:\\list",
                  E = "c:\\list\\e.txt", RO = "c:\\ro.txt", X = "c:\\x.txt", W = "c:\\w.txt",
                  LN = "c:\\ln", NEW = "c:\\new.txt", SUB = "c:\\sub", BIG = "c:\\big",
                  T = "c:\\t.txt", TTY = "c:\\tty", HUGE = "c:\\huge", EDGE = "c:\\edge";
constexpr uint64_t HUGE_SIZE = (1ull << 34) + 4097;  // sparse
const std::string MAX_TEXT = "a b\\c:*?\"<>|\x7f\xc3\xa4/" + std::string(1008, 'z');
constexpr uint32_t DATASIZE = 16384;  // not the default, so that the replies show it is followed

using toks = nfs_toks;
// A fattr3 (mode without type bits) of which nlink, fsid and times are not
// pinned, and a post_op_attr with it.
nfs_tok attr3(const std::string &path, uint32_t type, uint32_t mode, uint64_t size) {
    return seq({w(type), w(mode), any(), w(0), w(0), hyper(size), hyper(size), w(0), w(0),
                any(2), w(0), ino(path), any(6)});
}
nfs_tok post(const std::string &path, uint32_t type, uint32_t mode, uint64_t size) {
    return seq({w(1), attr3(path, type, mode, size)});
}
// The fattr3 of a file of a given kind: device numbers pinned, the rest not.
nfs_tok kind3(uint32_t type, uint32_t mode, uint64_t size, uint32_t major, uint32_t minor) {
    return seq({w(type), w(mode), any(3), hyper(size), any(2), w(major), w(minor), any(10)});
}
// A device file's header written out word by word from the layout.
std::string header(uint32_t type, uint32_t major, uint32_t minor, uint32_t mode) {
    uint8_t b[32] = {};
    memcpy(b + 4, "specdata", 8);
    const uint32_t words[4] = {type, major, minor, mode};
    for (int i = 0; i < 4; i++) store_le32(b + 16 + 4 * i, words[i]);
    return std::string(reinterpret_cast<const char *>(b), 32);
}
// wcc_data with both attribute reads present, their values not pinned.
const nfs_tok wcc = seq({w(1), any(6), w(1), any(21)}), zero_verifier = seq({w(0), w(0)});

struct row {
    const char *what;
    uint32_t proc;
    toks args;
    toks reply;                     // the results, status first
    uint32_t accept = RPC_SUCCESS;  // RPC accept status
    const char *log = nullptr;      // a line the call logs
    void (*before)(nfs_rig &) = nullptr;  // what happens on the host before the call
};

// Runs the rows; each failure names its row.
void run_rows(nfs_rig &rig, uint32_t vers, std::span<const row> rows) {
    for (const row &r : rows) {
        if (r.before) r.before(rig);
        std::vector<uint8_t> reply = rig.call(vers, r.proc, nfs_arg_bytes(rig, r.args));
        std::string log = rig.tree.log();
        uint32_t accept = rpc_msg_accept_status(reply);
        EXPECT_EQ(accept, r.accept) << r.what;
        EXPECT_TRUE(!r.log || log.find(r.log) != std::string::npos) << r.what << ": " << log;
        if (accept == RPC_SUCCESS && r.accept == RPC_SUCCESS) {
            EXPECT_EQ(nfs_match(rig.tree, r.reply, nfs_results(reply)), "") << r.what;
        }
    }
}

class NfsProc : public ::testing::Test {
   protected:
    void SetUp() override {
        const std::pair<const char *, const char *> files[] = {
            {"f.txt", "hello"}, {"dir/", ""},    {"list/", ""},      {"list/e.txt", "e"},
            {"ro.txt", "abc"},  {"x.txt", "x"},  {"w.txt", ""},      {"gone.txt", "x"},
            {"old.txt", "old"}, {"empty/", ""},  {"t.txt", "data"}, {"edge", ""},
            {"deep/", ""},      {"deep/s1/", ""}, {"deep/s2/", ""},   {"huge", ""}};
        for (const auto &[f, content] : files) rig.tree.make(f, content);
        // SYSTEM files: device files by their header, and links when they hold none.
        const std::pair<const char *, std::string> specials[] = {
            {"blk", header(3, 8, 1, 0640)},
            {"chr", header(4, 1, 3, 0170644)},
            {"short", header(4, 1, 3, 0666).substr(0, 31)},
            {"badmagic", header(4, 1, 3, 0666).replace(4, 1, "S")},
            {"badtype", header(7, 1, 3, 0666)}};
        for (const auto &[f, content] : specials) {
            rig.tree.make(f, content);
            std::string path = "c:\\" + std::string(f);
            ASSERT_TRUE(win_set_file_attributes(path.c_str(), FILE_ATTRIBUTE_SYSTEM));
        }
        rig.tree.make("big", nfs_pattern(20000));
        ASSERT_EQ(truncate(rig.tree.host("huge").c_str(), off_t(HUGE_SIZE)), 0);
        struct timespec times[2] = {{1000000000, 0}, {1200000000, 999999999}};
        ASSERT_EQ(utimensat(AT_FDCWD, rig.tree.host("huge").c_str(), times, 0), 0);
        rig.tree.log();
        nfs_scan_forget();  // a listing of an earlier test's tree must not count
    }
    void run(uint32_t vers, std::span<const row> rows) { run_rows(rig, vers, rows); }
    std::string content(const std::string &rel) { return read_file(rig.tree.host(rel)); }

    nfs_rig rig{"c:\\ -maproot:0\n", "127.0.0.1", DATASIZE};
};

TEST_F(NfsProc, EveryVersion2ProcedureAnswersAsTheTableSays) {
    ASSERT_TRUE(rpc_program_valid(&nfs2_program));
    const nfs_tok root_attr = fattr2(ROOT, 2, 040755, 4096);
    const row rows[] = {
        {"null", 0, {}, {}},
        {"getattr", 1, {fh2(F)}, {w(0), fattr2(F, 1, 0100644, 5)}},
        {"getattr of a stale handle", 1, {bytes(std::string(32, '\7'))}, {w(70)}},
        {"setattr of the mode", 2, {fh2(RO), nfs_sattr2(0444)}, {w(0), fattr2(RO, 1, 0100444, 3)}},
        {"setattr of the size", 2, {fh2(X), nfs_sattr2(0xFFFFFFFF, 0)},
         {w(0), fattr2(X, 1, 0100644, 0)}},
        {"root is not served", 3, {}, {}, RPC_PROC_UNAVAIL,
         "nfsd: error, procedure 3 not supported\n"},
        {"lookup", 4, {fh2(ROOT), name("f.txt")}, {w(0), fh2(F), fattr2(F, 1, 0100644, 5)}},
        {"lookup of ..", 4, {fh2(DIR), name("..")}, {w(0), fh2(ROOT), root_attr}},
        {"lookup of .. at the root", 4, {fh2(ROOT), name("..")}, {w(0), fh2(ROOT), root_attr}},
        {"lookup of a missing name", 4, {fh2(ROOT), name("nope")}, {w(2)}},
        {"lookup of a 513-byte name", 4, {fh2(ROOT), name(std::string(513, 'a'))}, {},
         RPC_GARBAGE_ARGS},
        {"symlink", 13, {fh2(ROOT), name("ln"), name("f.txt"), nfs_sattr2(0777)}, {w(0)}},
        {"readlink", 5, {fh2(LN)}, {w(0), name("f.txt")}},
        {"symlink with a text of 1025 bytes", 13,
         {fh2(ROOT), name("long"), name(std::string(1025, 'x')), nfs_sattr2()}, {w(0)}},
        {"readlink of it is refused, not cut", 5, {fh2("c:\\long")}, {w(63)}},
        // No character of a link's text is a name's: all come back as sent.
        {"symlink with a text of 1024 bytes", 13,
         {fh2(ROOT), name("max"), name(MAX_TEXT), nfs_sattr2()}, {w(0)}},
        {"readlink of it", 5, {fh2("c:\\max")}, {w(0), name(MAX_TEXT)}},
        {"read", 6, {fh2(F), w(1), w(8192), w(0)},
         {w(0), fattr2(F, 1, 0100644, 5), w(4), bytes("ello")}},
        {"read of Datasize + 1", 6, {fh2(F), w(0), w(DATASIZE + 1), w(0)}, {}, RPC_GARBAGE_ARGS,
         "nfs_read: invalid read args\n"},
        {"write", 8, {fh2(W), w(0), w(2), w(0), w(3), bytes("abc")},
         {w(0), fattr2(W, 1, 0100644, 5)}},
        {"write past what version 2 can show", 8,
         {fh2(EDGE), w(0), w(0xFFFFF000), w(0), name(nfs_pattern(8192))}, {w(27)}},
        {"write up to the last byte it can show", 8,
         {fh2(EDGE), w(0), w(0xFFFFDFFF), w(0), name(nfs_pattern(8192))},
         {w(0), w(1), w(0100644), any(3), w(0xFFFFFFFF), any(11)}},
        {"create", 9, {fh2(ROOT), name("new.txt"), nfs_sattr2(0100644)},
         {w(0), fh2(NEW), fattr2(NEW, 1, 0100644, 0)}},
        {"create with a size, then a mode without write permission", 9,
         {fh2(ROOT), name("sized"), nfs_sattr2(0100555, 3)},
         {w(0), fh2("c:\\sized"), fattr2("c:\\sized", 1, 0100555, 3)}},
        {"create of a character device", 9, {fh2(ROOT), name("tty"), nfs_sattr2(0020644, 0x0103)},
         {w(0), fh2("c:\\tty"), w(4), w(0020644), any(5), w(0x0103), any(9)}},
        {"remove", 10, {fh2(ROOT), name("gone.txt")}, {w(0)}},
        {"rename", 11, {fh2(ROOT), name("old.txt"), fh2(DIR), name("moved.txt")}, {w(0)}},
        {"link", 12, {fh2(F), fh2(DIR), name("f2.txt")}, {w(0)}},
        {"mkdir", 14, {fh2(ROOT), name("sub"), nfs_sattr2(0700)},
         {w(0), fh2(SUB), fattr2(SUB, 2, 040755, 4096)}},
        {"rmdir", 15, {fh2(ROOT), name("sub")}, {w(0)}},
        {"readdir", 16, {fh2(LIST), w(0), w(8192)},
         {w(0), w(1), ino(LIST), name("."), w(1), w(1), ino(ROOT), name(".."), w(2), w(1), ino(E),
          name("e.txt"), w(3), w(0), w(1)}},
        {"readdir past the end", 16, {fh2(LIST), w(0xFFFFFFFF), w(8192)}, {w(0), w(0), w(1)}},
        {"readdir with no room for an entry", 16, {fh2(LIST), w(2), w(30)}, {w(0), w(0), w(0)}},
        {"statfs", 17, {fh2(ROOT)}, {w(0), w(DATASIZE), w(4096), any(3)}},
        {"getattr of a character device: the header's mode gives permission bits alone", 1,
         {fh2("c:\\chr")}, {w(0), w(4), w(0020644), any(5), w(0x0103), any(9)}},
        {"getattr of a device file that cannot be read: no known type", 1, {fh2("c:\\blk")},
         {w(0), w(0), w(0100666), any(15)}, RPC_SUCCESS, "nfs_get_special: c:\\blk error 32\n",
         [](nfs_rig &) { win_fail_inject("CreateFile", ERROR_SHARING_VIOLATION, 1); }},
        {"procedure 18 is unknown", 18, {}, {}, RPC_PROC_UNAVAIL,
         "nfsd: error, procedure 18 not supported\n"},
    };
    run(NFS_V2, rows);
    for (const char *gone : {"gone.txt", "old.txt", "sub"}) EXPECT_FALSE(rig.tree.exists(gone));
    EXPECT_EQ(content("dir/moved.txt"), "old");
    EXPECT_EQ(content("dir/f2.txt"), "hello");
    EXPECT_EQ(content("ln"), "f.txt");
    EXPECT_EQ(content("w.txt"), std::string("\0\0abc", 5));
    EXPECT_EQ(content("x.txt"), "");
    EXPECT_EQ(content("sized"), std::string(3, '\0'));
    EXPECT_EQ(std::filesystem::file_size(rig.tree.host("edge")), 0xFFFFFFFFu);
}

TEST_F(NfsProc, EveryVersion3ProcedureAnswersAsTheTableSays) {
    ASSERT_TRUE(rpc_program_valid(&nfs3_program));
    const uint32_t serial = rig.tree.env.entries()[0]->volume_serial;
    const nfs_tok root_attr = post(ROOT, 2, 0755, 4096), f_attr = post(F, 1, 0644, 5),
                  list_attr = post(LIST, 2, 0755, 4096);
    const row rows[] = {
        {"getattr", 1, {fh3(F)}, {w(0), attr3(F, 1, 0644, 5)}},
        {"getattr of the root counts its folders and 1; its fsid is the volume's", 1, {fh3(ROOT)},
         {w(0), w(2), w(0755), w(5), any(8), w(0), w(serial), w(0), ino(ROOT), any(6)}},
        {"getattr of a folder counts ., .. and its folders", 1, {fh3("c:\\deep")},
         {w(0), w(2), w(0755), w(4), any(18)}},
        {"getattr of a sparse file past 4 GiB, times to the second", 1, {fh3(HUGE)},
         {w(0), w(1), w(0644), any(3), hyper(HUGE_SIZE), hyper(HUGE_SIZE), w(0), w(0), any(2),
          w(0), ino(HUGE), w(1000000000), w(0), w(1200000000), w(0), any(2)}},
        {"getattr of a block device", 1, {fh3("c:\\blk")}, {w(0), kind3(3, 0640, 32, 8, 1)}},
        {"getattr of a short header", 1, {fh3("c:\\short")}, {w(0), kind3(5, 0777, 31, 0, 0)}},
        {"getattr of another magic", 1, {fh3("c:\\badmagic")}, {w(0), kind3(5, 0777, 32, 0, 0)}},
        {"getattr of an unknown type", 1, {fh3("c:\\badtype")}, {w(0), kind3(5, 0777, 32, 0, 0)}},
        {"setattr of the access time alone changes neither time", 2,
         {fh3(HUGE), w(0), w(0), w(0), w(0), w(2), w(5), w(0), w(0), w(0)},
         {w(0), w(1), any(6), w(1), any(15), w(1000000000), w(0), w(1200000000), w(0), any(2)}},
        {"setattr of the mode", 2, {fh3(RO), nfs_sattr3(0444), w(0)},
         {w(0), w(1), any(6), post(RO, 1, 0444, 3)}},
        {"setattr of both times of a read-only file drops the nanoseconds", 2,
         {fh3(RO), w(0), w(0), w(0), w(0), w(2), w(1000000000), w(999), w(2), w(1200000000),
          w(5), w(0)},
         {w(0), w(1), any(6), w(1), w(1), w(0444), any(13), w(1000000000), w(0), w(1200000000),
          w(0), any(2)}},
        {"create unchecked of a read-only file, even by uid 0", 8,
         {fh3(ROOT), name("RO.TXT"), w(0), nfs_sattr3()}, {w(13), wcc}},
        {"create unchecked in another case truncates and keeps the name", 8,
         {fh3(ROOT), name("T.TXT"), w(0), nfs_sattr3()},
         {w(0), w(1), fh3(T), post(T, 1, 0644, 0), wcc}},
        {"setattr whose guard does not match is applied", 2,
         {fh3(X), nfs_sattr3(0444), w(1), w(1), w(2)}, {w(0), w(1), any(6), post(X, 1, 0444, 1)}},
        {"lookup", 3, {fh3(ROOT), name("f.txt")}, {w(0), fh3(F), f_attr, root_attr}},
        {"lookup of a missing name", 3, {fh3(ROOT), name("nope")}, {w(2), root_attr}},
        {"access of a 0644 file", 4, {fh3(F), w(0x3F)}, {w(0), f_attr, w(0x1F)}},
        {"symlink", 10, {fh3(ROOT), name("ln"), nfs_sattr3(), name("f.txt")},
         {w(0), w(1), fh3(LN), post(LN, 5, 0777, 5), wcc}},
        {"setattr of a link's mode keeps it a link", 2, {fh3(LN), nfs_sattr3(0600), w(0)},
         {w(0), w(1), any(6), post(LN, 5, 0777, 5)}},
        {"readlink", 5, {fh3(LN)}, {w(0), post(LN, 5, 0777, 5), name("f.txt")}},
        {"mknod over the link replaces it", 11,
         {fh3(ROOT), name("ln"), w(4), nfs_sattr3(0600), w(1), w(3)},
         {w(0), w(1), fh3(LN), w(1), w(4), w(0600), any(19), wcc}},
        {"read to the end", 6, {fh3(F), hyper(1), w(100)},
         {w(0), f_attr, w(4), w(1), name("ello")}},
        {"read of more than Datasize", 6, {fh3(BIG), hyper(0), w(65536)},
         {w(0), post(BIG, 1, 0644, 20000), w(DATASIZE), w(0), name(nfs_pattern(DATASIZE))}},
        // The descriptor cached by the read above must follow the file.
        {"read after the file was cut short behind the server's back", 6,
         {fh3(BIG), hyper(4096), w(100)}, {w(0), post(BIG, 1, 0644, 100), w(0), w(1), w(0)},
         RPC_SUCCESS, nullptr,
         [](nfs_rig &r) { ASSERT_EQ(truncate(r.tree.host("big").c_str(), 100), 0); }},
        {"write through the descriptor kept for reading", 7,
         {fh3(BIG), hyper(100), w(2), w(0), name("cc")},
         {w(0), w(0), post(BIG, 1, 0644, 102), w(2), w(0), zero_verifier}},
        {"read beyond 2^63", 6, {fh3(F), hyper(HALF + 1), w(10)}, {w(0), f_attr, w(0), w(1), w(0)}},
        {"write unstable", 7, {fh3(W), hyper(0), w(3), w(0), name("abc")},
         {w(0), w(0), post(W, 1, 0644, 3), w(3), w(0), zero_verifier}},
        {"write data sync answers file sync", 7, {fh3(W), hyper(3), w(2), w(1), name("de")},
         {w(0), w(0), post(W, 1, 0644, 5), w(2), w(2), zero_verifier}},
        {"write whose length differs from its count", 7,
         {fh3(W), hyper(0), w(4), w(0), name("abc")}, {}, RPC_GARBAGE_ARGS,
         "nfs3_write: invalid write args\n"},
        {"write beyond 2^63", 7, {fh3(W), hyper(HALF), w(3), w(0), name("abc")},
         {w(27), w(0), w(0)}},
        {"create unchecked", 8, {fh3(ROOT), name("new.txt"), w(0), nfs_sattr3(0644)},
         {w(0), w(1), fh3(NEW), post(NEW, 1, 0644, 0), wcc}},
        {"create guarded of an existing name in another case", 8,
         {fh3(ROOT), name("NEW.TXT"), w(1), nfs_sattr3()}, {w(17), wcc}},
        {"mkdir of an existing name in another case", 9,
         {fh3(ROOT), name("F.TXT"), nfs_sattr3()}, {w(17), wcc}},
        {"symlink over an existing file", 10, {fh3(ROOT), name("f.txt"), nfs_sattr3(), name("x")},
         {w(17), wcc}},
        {"mknod over an existing file", 11,
         {fh3(ROOT), name("f.txt"), w(4), nfs_sattr3(), w(1), w(3)}, {w(17), wcc}},
        {"create exclusive", 8, {fh3(ROOT), name("excl.txt"), w(2), w(1), w(2)}, {w(10004), wcc}},
        {"mkdir", 9, {fh3(ROOT), name("sub"), nfs_sattr3(0700)},
         {w(0), w(1), fh3(SUB), post(SUB, 2, 0755, 4096), wcc}},
        {"mknod of a regular file", 11, {fh3(ROOT), name("reg"), w(1)}, {w(10007), wcc}},
        {"mknod of a character device", 11,
         {fh3(ROOT), name("tty"), w(4), nfs_sattr3(0600), w(1), w(3)},
         {w(0), w(1), fh3(TTY), w(1), w(4), w(0600), any(3), w(0), w(32), w(0), w(32), w(1),
          w(3), any(10), wcc}},
        {"setattr of a device's mode goes into its header", 2, {fh3(TTY), nfs_sattr3(0640), w(0)},
         {w(0), w(1), any(6), w(1), w(4), w(0640), any(19)}},
        {"remove", 12, {fh3(ROOT), name("gone.txt")}, {w(0), wcc}},
        {"rmdir", 13, {fh3(ROOT), name("empty")}, {w(0), wcc}},
        {"rename", 14, {fh3(ROOT), name("old.txt"), fh3(DIR), name("moved.txt")}, {w(0), wcc, wcc}},
        {"link", 15, {fh3(F), fh3(DIR), name("f2.txt")}, {w(0), f_attr, wcc}},
        {"link to an existing name in another case", 15, {fh3(F), fh3(DIR), name("F2.TXT")},
         {w(17), w(0), wcc}},
        {"readlink of a file that is no link", 5, {fh3(F)}, {w(5), w(0)}},
        {"readdir", 16, {fh3(LIST), hyper(0), hyper(0), w(8192)},
         {w(0), list_attr, zero_verifier,                 //
          w(1), w(0), ino(LIST), name("."), w(0), w(1),   //
          w(1), w(0), ino(ROOT), name(".."), w(0), w(2),  //
          w(1), w(0), ino(E), name("e.txt"), w(0), w(3), w(0), w(1)}},
        {"readdirplus", 17, {fh3(LIST), hyper(0), hyper(0), w(8192), w(8192)},
         {w(0), list_attr, zero_verifier,                                             //
          w(1), w(0), ino(LIST), name("."), w(0), w(1), list_attr, w(1), fh3(LIST),    //
          w(1), w(0), ino(ROOT), name(".."), w(0), w(2), root_attr, w(1), fh3(ROOT),   //
          w(1), w(0), ino(E), name("e.txt"), w(0), w(3), post(E, 1, 0644, 1), w(1), fh3(E),
          w(0), w(1)}},
        {"readdir with no room for an entry", 16, {fh3(LIST), hyper(2), hyper(0), w(100)},
         {w(10005), list_attr}},
        {"readdirplus with no room for an entry", 17,
         {fh3(LIST), hyper(2), hyper(0), w(100), w(100)}, {w(10005), list_attr}},
        {"readdirplus after the last entry", 17, {fh3(LIST), hyper(3), hyper(0), w(8192), w(8192)},
         {w(0), list_attr, zero_verifier, w(0), w(1)}},
        {"fsstat", 18, {fh3(ROOT)},
         {w(0), root_attr, any(6), w(0), w(65535), w(0), w(65535), w(0), w(65535), w(0)}},
        {"fsinfo", 19, {fh3(ROOT)},
         {w(0), root_attr, w(DATASIZE), w(DATASIZE), w(4096), w(DATASIZE), w(DATASIZE), w(4096),
          w(DATASIZE), w(0xFFFFFFFF), w(0xFFFFFFFE), w(1), w(0), w(27)}},
        {"pathconf", 20, {fh3(ROOT)}, {w(0), root_attr, w(1), any(), w(1), w(0), w(1), w(1)}},
        {"commit", 21, {fh3(W), hyper(0), w(0)}, {w(0), w(0), post(W, 1, 0644, 5), zero_verifier}},
        {"procedure 22 is unknown", 22, {}, {}, RPC_PROC_UNAVAIL,
         "nfsd: error, procedure 22 not supported\n"},
    };
    run(NFS_V3, rows);
    EXPECT_EQ(content("dir/moved.txt"), "old");
    EXPECT_EQ(content("dir/f2.txt"), "hello");
    EXPECT_EQ(content("w.txt"), "abcde");
    EXPECT_EQ(content("big"), nfs_pattern(100) + "cc");
    EXPECT_EQ(content("t.txt"), "");
    EXPECT_EQ(std::filesystem::hard_link_count(rig.tree.host("dir/f2.txt")), 2u);
    for (const char *gone : {"gone.txt", "empty", "old.txt", "excl.txt", "reg"})
        EXPECT_FALSE(rig.tree.exists(gone)) << gone;
}

// Arguments cut short, and in version 3 a first handle whose length is not
// 16, are garbage with the procedure's log line.
TEST_F(NfsProc, TruncatedArgumentsAreGarbageWithTheProcedureLogLine) {
    for (uint32_t vers : {NFS_V2, NFS_V3}) {
        const rpc_program &table = vers == NFS_V2 ? nfs2_program : nfs3_program;
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> whole = nfs_arg_bytes(rig, args);
            const char *line = table.procs[proc].garbage_log;
            EXPECT_EQ(rpc_msg_accept_status(rig.call(vers, proc, whole)), RPC_SUCCESS) << line;
            std::vector<std::vector<uint8_t>> bad;
            for (size_t keep : {size_t(0), whole.size() / 2 & ~size_t(3), whole.size() - 4})
                bad.emplace_back(whole.begin(), whole.begin() + long(keep));
            for (uint8_t length : {0, 8, 32})
                if (vers == NFS_V3) bad.emplace_back(whole).at(3) = length;
            for (const std::vector<uint8_t> &b : bad) {
                rig.tree.log();
                EXPECT_EQ(rpc_msg_accept_status(rig.call(vers, proc, b)), RPC_GARBAGE_ARGS) << line;
                EXPECT_EQ(rig.tree.log(), line) << b.size() << " bytes";
            }
        }
    }
}

// A retransmitted CREATE whose first reply was lost gets that reply again,
// from the slot, even when the file has gone meanwhile; another transaction
// is new work (GUARDED finds nothing in its way).
TEST_F(NfsProc, ARepeatedCreateIsAnsweredFromItsSlot) {
    const std::pair<uint32_t, toks> creates[] = {
        {NFS_V2, {fh2(ROOT), name("once.txt"), nfs_sattr2()}},
        {NFS_V3, {fh3(ROOT), name("once.txt"), w(1), nfs_sattr3()}}};
    for (const auto &[vers, call] : creates) {
        uint32_t proc = vers == NFS_V2 ? 9 : 8, xid = 0x5150 + vers * 2;
        std::vector<uint8_t> args = nfs_arg_bytes(rig, call);
        std::vector<uint8_t> first = rig.call(vers, proc, args, xid);
        ASSERT_EQ(nfs_results(first).at(0), 0u);
        ASSERT_EQ(unlink(rig.tree.host("once.txt").c_str()), 0);
        EXPECT_EQ(rig.call(vers, proc, args, xid), first);
        EXPECT_FALSE(rig.tree.exists("once.txt"));
        EXPECT_EQ(nfs_results(rig.call(vers, proc, args, xid + 1)).at(0), 0u);
        ASSERT_EQ(unlink(rig.tree.host("once.txt").c_str()), 0);
    }
}

// Admission, the read-only test, the export check, the attribute reads
// around the work and the work itself share one resolution of each handle,
// and reach each folder on the host through one walk: a step that walks
// again (the new name, its mode, its attributes) shows here.
TEST_F(NfsProc, EachHandleIsResolvedOncePerRequest) {
    const struct {
        uint32_t proc;
        toks args;
        uint64_t handles, walks;
    } calls[] = {
        {2, {fh3(X), nfs_sattr3(0600), w(0)}, 1, 1},
        // Mode and both times, as an archive's extraction sets them.
        {2,
         {fh3(X), w(1), w(0644), w(0), w(0), w(0), w(2), w(1000), w(0), w(2), w(2000), w(0),
          w(0)},
         1, 1},
        {14, {fh3(ROOT), name("old.txt"), fh3(DIR), name("moved.txt")}, 2, 2},
        {17, {fh3(LIST), hyper(0), hyper(0), w(8192), w(8192)}, 1, 2},
        {8, {fh3(DIR), name("counted.txt"), w(0), nfs_sattr3(0600)}, 1, 1},
        {3, {fh3(DIR), name("counted.txt")}, 1, 1},
        {9, {fh3(DIR), name("counted"), nfs_sattr3()}, 1, 1},
        {10, {fh3(DIR), name("counted.ln"), nfs_sattr3(), name("counted.txt")}, 1, 1},
        {12, {fh3(DIR), name("counted.txt")}, 1, 1},
    };
    for (const auto &c : calls) {
        std::vector<uint8_t> args = nfs_arg_bytes(rig, c.args);
        uint64_t before = fh_decodes.load(), walked = win_folder_walks();
        EXPECT_EQ(nfs_results(rig.call(NFS_V3, c.proc, args)).at(0), 0u) << c.proc;
        EXPECT_EQ(fh_decodes.load() - before, c.handles) << c.proc;
        EXPECT_EQ(win_folder_walks() - walked, c.walks) << c.proc;
    }
}

// STATFS counts the volume's blocks of 4096 bytes, and its free space is the
// volume's own, for everyone.
TEST_F(NfsProc, StatfsCountsTheVolume) {
    struct statvfs v;
    ASSERT_EQ(statvfs(rig.tree.host("").c_str(), &v), 0);
    std::vector<uint32_t> r = nfs_results(rig.call(NFS_V2, 17, nfs_arg_bytes(rig, {fh2(ROOT)})));
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[3], uint32_t(uint64_t(v.f_blocks) * v.f_frsize / 4096));
    EXPECT_EQ(r[5], r[4]);
    EXPECT_NEAR(double(r[4]), double(uint64_t(v.f_bfree) * v.f_frsize / 4096), 4096);
}

// Over UDP a reply is one datagram, which holds at most 65,507 bytes: with
// "Datasize" 65535 the sizes announced and the replies sent stay within it
// (whole 4096-byte units of what fits beside the largest headers), so that
// full-size READs and listings are answered rather than lost.
TEST(NfsUdp, AnnouncedAndSentSizesFitOneDatagram) {
    constexpr uint32_t FITS = 61440;
    nfs_rig rig{"c:\\ -maproot:0\n", "127.0.0.1", 65535};
    rig.tree.make("big.bin", nfs_pattern(70000));
    rig.tree.make("many/");
    for (int i = 0; i < 3000; i++) rig.tree.make("many/a-longer-name-" + std::to_string(i));
    const std::string BIG_BIN = "c:\\big.bin", MANY = "c:\\many";
    const row v3[] = {
        {"fsinfo rtmax, wtmax, dtpref", 19, {fh3(ROOT)},
         {w(0), any(22), w(FITS), any(2), w(FITS), any(2), w(FITS), any(5)}},
        {"read", 6, {fh3(BIG_BIN), hyper(0), w(65535)},
         {w(0), any(22), w(FITS), w(0), name(nfs_pattern(FITS))}},
    };
    const row v2[] = {
        {"statfs tsize", 17, {fh2(ROOT)}, {w(0), w(FITS), any(4)}},
        {"read", 6, {fh2(BIG_BIN), w(0), w(65535), w(0)}, {w(0), any(17), name(nfs_pattern(FITS))}},
    };
    run_rows(rig, NFS_V3, v3);
    run_rows(rig, NFS_V2, v2);
    // Listings differ in length; that a reply came is what counts.
    EXPECT_EQ(rig.status(NFS_V3, 16, {fh3(MANY), hyper(0), hyper(0), w(65535)}), 0u);
    EXPECT_EQ(rig.status(NFS_V3, 17, {fh3(MANY), hyper(0), hyper(0), w(65535), w(65535)}), 0u);
}

// Over TCP a large READ is sent from a pipe that the file's pages move
// through: count, eof, bytes and padding must be what a copy gives, whatever
// the file did in between, and a reply longer than one record fragment (the
// longest verifier echoed) must arrive whole.
TEST(NfsTcp, LargeReadsCarryExactlyTheFilesBytes) {
    constexpr uint32_t MIB = 1048576, SIZE = MIB + 300000, CUT = 70001;
    nfs_rig rig{"c:\\ -maproot:0\n", "127.0.0.1", MIB, true};
    const std::string data = nfs_pattern(SIZE);
    rig.tree.make("big", data);
    const row v3[] = {
        {"read of Datasize", 6, {fh3(BIG), hyper(0), w(MIB)},
         {w(0), post(BIG, 1, 0644, SIZE), w(MIB), w(0), name(data.substr(0, MIB))}},
        {"read from an offset inside a page", 6, {fh3(BIG), hyper(4097), w(MIB)},
         {w(0), post(BIG, 1, 0644, SIZE), w(MIB), w(0), name(data.substr(4097, MIB))}},
        {"read reaching past the end", 6, {fh3(BIG), hyper(MIB), w(MIB)},
         {w(0), post(BIG, 1, 0644, SIZE), w(SIZE - MIB), w(1), name(data.substr(MIB))}},
        {"read after the file was cut short behind the server's back", 6,
         {fh3(BIG), hyper(0), w(MIB)},
         {w(0), post(BIG, 1, 0644, CUT), w(CUT), w(1), name(data.substr(0, CUT))}, RPC_SUCCESS,
         nullptr, [](nfs_rig &r) { ASSERT_EQ(truncate(r.tree.host("big").c_str(), CUT), 0); }},
        {"read wholly past the new end", 6, {fh3(BIG), hyper(MIB), w(MIB)},
         {w(0), post(BIG, 1, 0644, CUT), w(0), w(1), w(0)}},
    };
    run_rows(rig, NFS_V3, v3);

    // Beside the 400-byte verifier the message area leaves room for MIB - 19
    // bytes: the reply fills it, so its last fragment starts inside the data.
    const std::string WHOLE = "c:\\whole";
    rig.tree.make("whole", data);
    std::vector<uint8_t> msg = rpc_msg_call(7, NFS_PROG, NFS_V3, 6, 0, {}, 0,
                                            std::vector<uint8_t>(RPC_MAX_AUTH, 'v'));
    std::vector<uint8_t> args = nfs_arg_bytes(rig, {fh3(WHOLE), hyper(0), w(MIB)});
    msg.insert(msg.end(), args.begin(), args.end());
    std::vector<uint32_t> words = rpc_msg_words(rig.send(msg, 2000));
    constexpr uint32_t HEADER_WORDS = 6 + RPC_MAX_AUTH / 4;
    ASSERT_GT(words.size(), HEADER_WORDS);
    words.erase(words.begin(), words.begin() + HEADER_WORDS);
    EXPECT_EQ(nfs_match(rig.tree, {w(0), post(WHOLE, 1, 0644, SIZE), w(MIB - 19), w(0),
                                   name(data.substr(0, MIB - 19))},
                        words),
              "");
}

// A handle a client kept of a removed file never reaches the file created
// next, of another name or of the same, nor the file renamed over its name:
// READ, WRITE and GETATTR through it answer 70 (STALE) and the other file
// stays as it was written.
TEST(NfsStale, ARemovedFilesHandleNeverReachesTheNextFile) {
    nfs_rig rig{"c:\\ -maproot:0\n"};
    const toks over_a = {fh3(ROOT), name("c.txt"), fh3(ROOT), name("a.txt")};
    for (const char *next : {"b.txt", "a.txt", ""}) {  // "": c.txt renamed over a.txt
        rig.tree.make("a.txt", "AAAA");
        nfs_fh h = rig.tree.handle("c:\\a.txt");  // the handle the client kept
        const nfs_tok old = seq({w(16), bytes(std::string(h.begin(), h.begin() + 16))});
        if (*next) {
            ASSERT_EQ(rig.status(NFS_V3, 12, {fh3(ROOT), name("a.txt")}), 0u);
            ASSERT_EQ(rig.status(NFS_V3, 8, {fh3(ROOT), name(next), w(0), nfs_sattr3()}), 0u);
        } else {
            rig.tree.make("c.txt");
            ASSERT_EQ(rig.status(NFS_V3, 14, over_a), 0u);
            next = "a.txt";
        }
        rig.tree.make(next, "BBBB-data-of-B");
        EXPECT_EQ(rig.status(NFS_V3, 1, {old}), NFSERR_STALE) << next;
        EXPECT_EQ(rig.status(NFS_V3, 6, {old, hyper(0), w(100)}), NFSERR_STALE) << next;
        EXPECT_EQ(rig.status(NFS_V3, 7, {old, hyper(0), w(4), w(2), name("XXXX")}), NFSERR_STALE)
            << next;
        EXPECT_EQ(read_file(rig.tree.host(next)), "BBBB-data-of-B") << next;
        ASSERT_EQ(unlink(rig.tree.host(next).c_str()), 0);
    }
}

// Out of descriptors (a child process at its limit): a passing shortage is
// answered 10008 (JUKEBOX) in version 3 and 5 (IO) in version 2, so that
// clients retry, never NOENT, ACCES or STALE; and no record is dropped, so
// every handle works again once descriptors are back.
TEST(NfsShortage, OutOfDescriptorsAnswersJukeboxAndDropsNoRecord) {
    nfs_rig rig{"c:\\ -maproot:0\n"};
    for (const char *f : {"dir/", "dir/sub/", "dir/Mixed.txt", "dir/sub/f"}) rig.tree.make(f);
    const std::string SUBDIR = "c:\\dir\\sub", SUBF = "c:\\dir\\sub\\f";
    const struct {
        uint32_t vers, proc;
        std::vector<uint8_t> args;
        uint32_t status;
    } rows[] = {
        {NFS_V3, 1, nfs_arg_bytes(rig, {fh3(SUBDIR)}), 10008},
        {NFS_V2, 1, nfs_arg_bytes(rig, {fh2(SUBF)}), NFSERR_IO},
        {NFS_V3, 3, nfs_arg_bytes(rig, {fh3(DIR), name("mixed.TXT")}), 10008},  // another case
        {NFS_V3, 8, nfs_arg_bytes(rig, {fh3(SUBDIR), name("new.txt"), w(0), nfs_sattr3()}), 10008},
        {NFS_V3, 6, nfs_arg_bytes(rig, {fh3(SUBF), hyper(0), w(10)}), 10008},
        {NFS_V2, 16, nfs_arg_bytes(rig, {fh2(SUBDIR), w(0), w(4096)}), NFSERR_IO},
    };
    std::vector<uint32_t> got = fd_child(64, [&](fd_taken &taken) {
        std::vector<uint32_t> statuses;
        // None left, then one: enough to open the drive but not to walk on.
        for (size_t spare : {0, 1}) {
            taken.give_back(spare);
            for (const auto &r : rows) {
                nfs_scan_forget();
                statuses.push_back(rig.status(r.vers, r.proc, r.args));
            }
        }
        taken.give_back();
        statuses.push_back(rig.status(NFS_V3, 1, rows[0].args));
        return statuses;
    });
    ASSERT_EQ(got.size(), 2 * std::size(rows) + 1);
    for (size_t i = 0; i + 1 < got.size(); i++)
        EXPECT_EQ(got[i], rows[i % std::size(rows)].status) << "row " << i;
    EXPECT_EQ(got.back(), 0u) << "the handle works once descriptors are back";
}

// The handles come without MNT, as a stranger can make them; the public
// handle reaches the public export only for hosts on its list.
TEST(NfsAdmit, TheClientListDecidesForEveryRequest) {
    const struct {
        const char *exports, *client;
        uint32_t status;
    } cases[] = {
        {"c:\\ -maproot:0 127.0.0.1\n", "127.0.0.2", 13},
        {"c:\\ -maproot:0 -range 127.0.0.1 127.0.0.9\n", "127.0.0.2", 0},
        {"c:\\ -maproot:0\n", "127.0.0.2", 0},
        {"c:\\ -public -maproot:0 127.0.0.1\n", "127.0.0.2", 13},
        {"c:\\ -public -maproot:0 127.0.0.1\n", "127.0.0.1", 0},
    };
    for (const auto &c : cases) {
        nfs_rig rig(c.exports, c.client);
        rig.tree.make("f.txt", "hello");
        rig.tree.log();
        SCOPED_TRACE(std::string(c.exports) + " from " + c.client);
        EXPECT_EQ(rig.status(NFS_V2, 1, {fh2(F)}), c.status);
        EXPECT_EQ(rig.tree.log(), c.status ? "mountd: access denied /c clnt 200007f\n" : "");
        EXPECT_EQ(rig.status(NFS_V3, 1, {fh3(F)}), c.status);
        if (strstr(c.exports, "-public")) {
            EXPECT_EQ(rig.status(NFS_V2, 4, {bytes(std::string(32, '\0')), name("f.txt")}),
                      c.status);
            EXPECT_EQ(rig.status(NFS_V3, 3, {w(16), bytes(std::string(16, '\0')), name("f.txt")}),
                      c.status);
        }
    }
}

// Under -lowercase names are not kept as sent: PATHCONF says so, and
// listings show them in lower case.
TEST(NfsAdmit, ALowercaseExportIsNotCasePreserving) {
    nfs_rig rig("c:\\ -lowercase -maproot:0\n");
    rig.tree.make("MiXed.TXT");
    nfs_scan_forget();
    std::vector<uint32_t> r = nfs_results(rig.call(NFS_V3, 20, nfs_arg_bytes(rig, {fh3(ROOT)})));
    ASSERT_EQ(r.size(), 29u);
    EXPECT_EQ(std::vector<uint32_t>(r.end() - 4, r.end()), (std::vector<uint32_t>{1, 0, 1, 0}));
    EXPECT_EQ(dir_request(DIR_V2, rig.tree.handle(ROOT).data(), 0, 8192).names(),
              (std::vector<std::string>{".", "mixed.txt"}));
}

// Every sample call, aimed at names that exist where that would let a
// change succeed: a host the client list refuses gets 13 from every
// procedure, a read-only export 30 from every change and from no read; the
// disk stays as it was.
TEST(NfsAdmit, RefusedHostsAndReadOnlyExportsLeaveTheDiskAlone) {
    const std::set<uint32_t> changes[] = {{2, 8, 9, 10, 11, 12, 13, 14, 15},
                                          {2, 7, 8, 9, 10, 11, 12, 13, 14, 15, 21}};
    for (bool refused : {true, false}) {
        nfs_rig rig(refused ? "c:\\ -maproot:0 127.0.0.1\n" : "c:\\ -ro -maproot:0\n",
                    refused ? "127.0.0.2" : "127.0.0.1");
        for (const char *f : {"f.txt", "w.txt", "n2", "n3", "dir/", "d2/", "d3/"})
            rig.tree.make(f, "x");
        for (uint32_t vers : {NFS_V2, NFS_V3})
            for (const nfs_sample &s : nfs_sample_calls(vers))
                EXPECT_EQ(rig.status(vers, s.proc, s.args) == (refused ? 13u : 30u),
                          refused || changes[vers - 2].count(s.proc))
                    << refused << " " << vers << "/" << s.proc;
        EXPECT_EQ(read_file(rig.tree.host("w.txt")), "x");
        for (const char *gone : {"dir/m2", "dir/m3", "dir/l2", "dir/l3", "s2", "s3", "c3"})
            EXPECT_FALSE(rig.tree.exists(gone)) << gone;
        for (const char *kept : {"n2", "n3", "d2", "d3"})
            EXPECT_TRUE(rig.tree.exists(kept)) << kept;
    }
}

}  // namespace

