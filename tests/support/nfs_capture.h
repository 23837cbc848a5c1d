// Packet capture of a test's NFS traffic with tshark on the namespace's
// loopback, and dissection of what was captured: proof that every reply
// reads as the protocol's own dissector expects it.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

class nfs_capture {
   public:
    // Starts capturing the NFS, MOUNT and portmapper ports into a
    // temporary file; ok() is false when tshark is missing or fails.
    nfs_capture();
    ~nfs_capture();
    nfs_capture(const nfs_capture &) = delete;
    nfs_capture &operator=(const nfs_capture &) = delete;
    bool ok() const { return started_; }

    // Ends the capture (waits until tshark has written everything).
    void stop();
    // The tshark text output of the capture for a display filter and
    // fields: one line per packet, fields separated by tabs.
    std::string fields(const std::string &filter, const std::string &fields);
    // Replies the dissector finds malformed or in error: "" when none.
    std::string malformed() {
        return fields("rpc.msgtyp == 1 && (_ws.malformed || _ws.expert.severity == error)",
                      "frame.number");
    }
    // The procedure numbers of the NFS replies (field "nfs.procedure_v2" or
    // "nfs.procedure_v3").
    std::set<std::string> answered(const std::string &field);

   private:
    std::string file_;
    pid_t pid_ = -1;
    bool started_ = false;
};
