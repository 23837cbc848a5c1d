// NFS versions 2 and 3 on the wire: one call of every procedure of both
// versions, and every reply dissects cleanly in tshark, a decoder of the
// protocols written apart from ours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "nfsd/nfs.h"
#include "support/nfs_rig.h"
#include "support/server_proc.h"

namespace {

constexpr uint16_t CLIENT_PORT = 800, SERVER_PORT = 2049;

// Datagrams between two loopback ports as a capture file (pcap 2.4, raw
// IPv4 frames whose checksums are left 0, as UDP allows and tshark accepts):
// tshark reads exactly the bytes the server answered, and no capture of the
// loopback has to start and settle first.
class pcap_file {
   public:
    pcap_file() { words({0xA1B2C3D4, 0x00040002, 0, 0, 65535, 101}); }
    void datagram(uint16_t from, uint16_t to, const std::vector<uint8_t> &payload) {
        uint16_t udp = uint16_t(payload.size() + 8), ip = uint16_t(udp + 20);
        words({0, 0, ip, ip});  // time, length captured, length on the wire
        const uint8_t header[28] = {
            0x45, 0, uint8_t(ip >> 8), uint8_t(ip), 0, 0, 0, 0, 64, 17, 0, 0,  // IPv4, UDP
            127, 0, 0, 1, 127, 0, 0, 1,
            uint8_t(from >> 8), uint8_t(from), uint8_t(to >> 8), uint8_t(to),
            uint8_t(udp >> 8), uint8_t(udp), 0, 0};
        bytes_.append(reinterpret_cast<const char *>(header), sizeof header);
        bytes_.append(payload.begin(), payload.end());
    }
    bool save(const std::string &path) const {
        return bool(std::ofstream(path, std::ios::binary) << bytes_);
    }

   private:
    // The file's own words are in the writer's byte order, which the magic
    // number tells the reader.
    void words(std::initializer_list<uint32_t> ws) {
        for (uint32_t w : ws) bytes_.append(reinterpret_cast<const char *>(&w), 4);
    }
    std::string bytes_;
};

TEST(NfsdWire, EveryProcedureAnswersAndDissects) {
    nfs_rig rig;
    for (const char *f : {"f.txt", "w.txt", "dir/", "dir/a.txt"}) rig.tree.make(f, "hello");
    pcap_file pcap;
    uint32_t xid = 0x200;
    for (uint32_t vers : {NFS_V2, NFS_V3})
        for (const auto &[proc, args] : nfs_sample_calls(vers)) {
            std::vector<uint8_t> call =
                nfs_call_msg(xid++, NFS_PROG, vers, proc, nfs_arg_bytes(rig, args));
            std::vector<uint8_t> reply = rig.send(call);
            EXPECT_EQ(rpc_msg_accept_status(reply), RPC_SUCCESS) << vers << "/" << proc;
            pcap.datagram(CLIENT_PORT, SERVER_PORT, call);
            pcap.datagram(SERVER_PORT, CLIENT_PORT, reply);
        }
    const std::string file = "/tmp/nfsd_wire_" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(pcap.save(file));
    // One line per packet that matches `filter`: the field's value.
    auto fields = [&](const std::string &filter, const std::string &field) {
        return server_shell("sh -c \"tshark -r " + file + " -d udp.port==2049,rpc -Y '" + filter +
                            "' -T fields -e " + field + " 2>/dev/null\"");
    };
    ASSERT_NE(fields("rpc.msgtyp == 1", "frame.number"), "") << "tshark read nothing";
    EXPECT_EQ(
        fields("rpc.msgtyp == 1 && (_ws.malformed || _ws.expert.severity == error)", "frame.number"),
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
}

}  // namespace
