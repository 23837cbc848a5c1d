// NFS version 3 against a real client: the libnfs library mounts the test
// server's export and works on it with every procedure a client uses; the
// traffic is captured and every reply dissects cleanly in tshark.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <sstream>

#include "support/drive_temp.h"
#include "support/nfs_capture.h"
#include "support/nfs_libnfs.h"
#include "support/nfs_server.h"

namespace {

std::set<std::string> lines(const std::string &text) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.insert(line);
    return out;
}

class NfsdLibnfs : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!libnfs_client::available()) GTEST_SKIP() << "libnfs is not installed";
        server = std::make_unique<nfs_server>("c:\\ -maproot:0\n");
        server->tree.make("f.txt", "hello");
        server->tree.make("list/");
        server->tree.make("list/a.txt", "a");
        server->tree.make("list/b.txt", "bb");
        capture = std::make_unique<nfs_capture>();
        client = std::make_unique<libnfs_client>();
        ASSERT_TRUE(client->mount("127.0.0.1", "/c")) << client->error();
    }
    void TearDown() override {
        client.reset();
        capture.reset();
        server.reset();
    }
    std::string host(const std::string &rel) { return server->tree.host(rel); }

    std::unique_ptr<nfs_server> server;
    std::unique_ptr<nfs_capture> capture;
    std::unique_ptr<libnfs_client> client;
};

TEST_F(NfsdLibnfs, EveryProcedureWorksForARealClient) {
    libnfs_client &c = *client;
    // LOOKUP, GETATTR
    uint64_t size = 0;
    uint32_t mode = 0;
    ASSERT_EQ(c.stat("/f.txt", &size, &mode), 0) << c.error();
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(mode & 07777, 0644u);
    EXPECT_NE(c.stat("/none.txt", &size, &mode), 0);

    // READ
    std::string data;
    EXPECT_EQ(c.read("/f.txt", 1, 10, &data), 4) << c.error();
    EXPECT_EQ(data, "ello");

    // FSINFO, PATHCONF
    uint32_t rtmax = 0, properties = 0, insensitive = 0, preserving = 0;
    EXPECT_EQ(c.fsinfo(&rtmax, &properties), 0);
    EXPECT_EQ(rtmax, 8192u);
    EXPECT_EQ(properties, 27u);
    EXPECT_EQ(c.pathconf(&insensitive, &preserving), 0);
    EXPECT_EQ(insensitive, 1u);
    EXPECT_EQ(preserving, 1u);

    // CREATE, WRITE, COMMIT
    EXPECT_EQ(c.create_write("/new.txt", 0644, "data"), 0) << c.error();
    EXPECT_EQ(read_file(host("new.txt")), "data");

    // MKDIR, SYMLINK, READLINK, LINK, RENAME
    EXPECT_EQ(c.mkdir("/sub"), 0) << c.error();
    EXPECT_EQ(c.symlink("f.txt", "/ln"), 0) << c.error();
    std::string target;
    EXPECT_EQ(c.readlink("/ln", &target), 0) << c.error();
    EXPECT_EQ(target, "f.txt");
    EXPECT_EQ(c.link("/f.txt", "/sub/hard.txt"), 0) << c.error();
    EXPECT_EQ(read_file(host("sub/hard.txt")), "hello");
    EXPECT_EQ(c.rename("/new.txt", "/sub/moved.txt"), 0) << c.error();
    EXPECT_EQ(read_file(host("sub/moved.txt")), "data");
    EXPECT_NE(access(host("new.txt").c_str(), F_OK), 0);

    // MKNOD of a character device: its header on disk
    EXPECT_EQ(c.mknod("/tty", S_IFCHR | 0600, uint32_t(makedev(1, 3))), 0) << c.error();
    EXPECT_EQ(read_file(host("tty")).substr(4, 8), "specdata");

    // SETATTR of size and mode; ACCESS follows the mode
    EXPECT_EQ(c.truncate("/sub/moved.txt", 2), 0) << c.error();
    EXPECT_EQ(read_file(host("sub/moved.txt")), "da");
    EXPECT_EQ(c.access("/f.txt", W_OK), 0) << c.error();
    EXPECT_EQ(c.chmod("/f.txt", 0444), 0) << c.error();
    EXPECT_NE(c.access("/f.txt", W_OK), 0);
    EXPECT_EQ(c.access("/f.txt", R_OK), 0) << c.error();
    struct stat hs;
    ASSERT_EQ(stat(host("f.txt").c_str(), &hs), 0);
    EXPECT_EQ(hs.st_mode & 0222, 0u);

    // FSSTAT
    uint64_t blocks = 0, block_size = 0;
    EXPECT_EQ(c.statvfs(&blocks, &block_size), 0) << c.error();
    EXPECT_GT(blocks, 0u);

    // READDIRPLUS
    std::set<std::string> names;
    EXPECT_EQ(c.readdir("/list", &names), 0) << c.error();
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.txt", "b.txt"}));

    // REMOVE, RMDIR
    EXPECT_NE(c.rmdir("/sub"), 0);  // not empty
    EXPECT_EQ(c.unlink("/ln"), 0) << c.error();
    EXPECT_EQ(c.unlink("/sub/hard.txt"), 0) << c.error();
    EXPECT_EQ(c.unlink("/sub/moved.txt"), 0) << c.error();
    EXPECT_EQ(c.rmdir("/sub"), 0) << c.error();
    EXPECT_NE(access(host("sub").c_str(), F_OK), 0);

    // The traffic: every reply dissects, and every procedure was answered.
    if (!capture->ok()) GTEST_SKIP() << "tshark could not capture";
    capture->stop();
    EXPECT_EQ(capture->fields("_ws.malformed || _ws.expert.severity == error", "frame.number"), "");
    std::set<std::string> answered =
        lines(capture->fields("rpc.msgtyp == 1 && nfs", "nfs.procedure_v3"));
    for (const char *p : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13",
                          "14", "15", "17", "18", "19", "20", "21"})
        EXPECT_TRUE(answered.count(p)) << "no reply to procedure " << p;
}

}  // namespace
