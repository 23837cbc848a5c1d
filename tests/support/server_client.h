// Raw MOUNT and NFS version 3 calls over UDP to 127.0.0.1, for what no
// client tool shows: file handles as bytes, to be kept across a restart of
// the server. The caller is AUTH_UNIX uid 0, gid 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Answered instead of a status when no reply came or the call was refused.
constexpr uint32_t RAW_NO_REPLY = 0xFFFFFFFF;

// MOUNT version 3 MNT of `path`: the mount status; *fh the root handle.
uint32_t raw_mnt3(uint16_t port, const std::string &path, std::vector<uint8_t> *fh);
// NFS version 3 LOOKUP of `name` in `dir`: the NFS status; *fh the handle.
uint32_t raw_lookup3(uint16_t port, const std::vector<uint8_t> &dir, const std::string &name,
                     std::vector<uint8_t> *fh);
// NFS version 3 GETATTR: the NFS status; *fileid and *size from the attributes.
uint32_t raw_getattr3(uint16_t port, const std::vector<uint8_t> &fh, uint64_t *fileid,
                      uint64_t *size);
