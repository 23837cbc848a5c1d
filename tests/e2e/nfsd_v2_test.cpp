// NFS versions 2 and 3 on the wire: one call of every procedure of both
// versions, and every reply dissects cleanly in tshark, a decoder of the
// protocols written apart from ours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "nfsd/nfs.h"
#include "support/nfs_rig.h"
#include "support/server_proc.h"

namespace {

// Each datagram as a line of a hex dump, which text2pcap wraps in UDP/IPv4
// frames, a call outbound ('O') and a reply inbound ('I'): tshark reads
// exactly the bytes the server answered, and no capture of the loopback has
// to start and settle first.
void dump_datagram(std::string *dump, char direction, const std::vector<uint8_t> &payload) {
    char hex[4];
    *dump += direction + std::string(" 000000");
    for (uint8_t b : payload) {
        snprintf(hex, sizeof hex, " %02x", b);
        *dump += hex;
    }
    *dump += "\n";
}

TEST(NfsdWire, EveryProcedureAnswersAndDissects) {
    nfs_rig rig;
    for (const char *f : {"f.txt", "w.txt", "dir/", "dir/a.txt"}) rig.tree.make(f, "hello");
    std::string dump;
    uint32_t xid = 0x200;
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> call =
                nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(rig, args));
            std::vector<uint8_t> reply = rig.send(call);
            EXPECT_EQ(rpc_msg_accept_status(reply), RPC_SUCCESS) << vers << "/" << proc;
            dump_datagram(&dump, 'O', call);
            dump_datagram(&dump, 'I', reply);
        }
    const std::string file = "/tmp/nfsd_wire_" + std::to_string(getpid()) + ".pcap";
    write_file(file + ".txt", dump);
    server_shell("text2pcap -q -D -u 800,2049 " + file + ".txt " + file);
    // One line per packet that matches `filter`: the field's value.
    auto fields = [&](const std::string &filter, const std::string &field) {
        return server_shell("sh -c \"tshark -r " + file + " -d udp.port==2049,rpc -Y '" + filter +
                            "' -T fields -e " + field + " 2>/dev/null\"");
    };
    ASSERT_NE(fields("rpc.msgtyp == 1", "frame.number"), "") << "tshark read nothing";
    EXPECT_EQ(fields("rpc.msgtyp == 1 && (_ws.malformed || _ws.expert.severity == error)",
                     "frame.number"),
              "");
    for (uint32_t vers : {NFS_V2, NFS_V3}) {
        std::string v = std::to_string(vers);
        std::istringstream in(fields("rpc.msgtyp == 1 && nfs", "nfs.procedure_v" + v));
        std::set<std::string> answered;
        for (std::string line; std::getline(in, line);) answered.insert(line);
        for (const auto &sample : nfs_sample_calls(vers))
            EXPECT_TRUE(answered.count(std::to_string(sample.proc))) << v << "/" << sample.proc;
    }
    unlink(file.c_str());
    unlink((file + ".txt").c_str());
}

}  // namespace
