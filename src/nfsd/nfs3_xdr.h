// Version 3 (RFC 1813): the argument and result records of the procedures,
// their decoders and their encoders. A handle on the wire is an opaque of
// length 16 (any other length does not decode); a decoder fills a zeroed
// record and answers false when the arguments do not decode. Attributes go
// out as post_op_attr (fattr3) or, before an operation, pre_op_attr
// (wcc_attr), each present when its `present` word is set. Internal to
// src/nfsd/; the handlers are in nfs3_proc.cpp.
#pragma once

#include <cstdint>

#include "nfsd/nfs_shared.h"

// ---- Arguments ---------------------------------------------------------------

enum : uint32_t {  // stable_how
    NFS3_UNSTABLE = 0,
    NFS3_DATA_SYNC = 1,
    NFS3_FILE_SYNC = 2,
};
enum : uint32_t {  // ftype3 of MKNOD beyond the attribute types
    NF3SOCK = 6,
    NF3FIFO = 7,
};

struct nfs3_fh_args {  // GETATTR, READLINK, FSSTAT, FSINFO, PATHCONF
    nfs_handle fh;
};
struct nfs3_setattr_args {  // the guard is not read
    nfs_handle fh;
    nfs_sattr sattr;
};
struct nfs3_dirop_args {  // LOOKUP, REMOVE, RMDIR
    nfs_handle dir;
    char name[NFS_NAME_MAX + 1];
};
struct nfs3_access_args {
    nfs_handle fh;
    uint32_t access;
};
struct nfs3_read_args {
    nfs_handle fh;
    uint64_t offset;
    uint32_t count;
};
struct nfs3_write_args {
    nfs_handle fh;
    uint64_t offset;
    uint32_t count;
    uint32_t stable;      // NFS3_UNSTABLE .. NFS3_FILE_SYNC
    const uint8_t *data;  // count bytes in the call's buffer
};
struct nfs3_create_args {  // CREATE (with `mode`), MKDIR
    nfs3_dirop_args where;
    uint32_t mode;    // createmode3; EXCLUSIVE's verifier is not kept
    nfs_sattr sattr;  // an unset uid or gid holds the caller's
};
struct nfs3_symlink_args {
    nfs3_dirop_args where;
    nfs_sattr sattr;
    char text[NFS_LINK_MAX + 1];
    uint32_t text_length;
};
struct nfs3_mknod_args {
    nfs3_dirop_args where;
    uint32_t type;  // ftype3; only devices, sockets and FIFOs carry more
    nfs_sattr sattr;
    uint32_t major, minor;
};
struct nfs3_rename_args {
    nfs3_dirop_args from, to;
};
struct nfs3_link_args {
    nfs_handle file;
    nfs3_dirop_args to;
};
struct nfs3_commit_args {
    nfs_handle fh;
    uint64_t offset;
    uint32_t count;
};

bool nfs3_decode_fh(rpc_call *call, void *args);
bool nfs3_decode_setattr(rpc_call *call, void *args);
bool nfs3_decode_dirop(rpc_call *call, void *args);
bool nfs3_decode_access(rpc_call *call, void *args);
bool nfs3_decode_read(rpc_call *call, void *args);
bool nfs3_decode_write(rpc_call *call, void *args);
bool nfs3_decode_create(rpc_call *call, void *args);
bool nfs3_decode_mkdir(rpc_call *call, void *args);
bool nfs3_decode_symlink(rpc_call *call, void *args);
bool nfs3_decode_mknod(rpc_call *call, void *args);
bool nfs3_decode_rename(rpc_call *call, void *args);
bool nfs3_decode_link(rpc_call *call, void *args);
bool nfs3_decode_commit(rpc_call *call, void *args);

// ---- Results -----------------------------------------------------------------
// Flat records without pointers: those of procedures with a replay slot are
// saved whole and encoded again for a repeated call.

struct nfs3_attr_res {  // GETATTR
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
};
struct nfs3_wcc_res {  // SETATTR (object), REMOVE, RMDIR (directory)
    uint32_t status;
    uint32_t before_present;
    nfs_attr before;
    uint32_t after_present;
    nfs_attr after;
};
struct nfs3_lookup_res {
    uint32_t status;
    nfs_handle fh;
    uint32_t obj_present;
    nfs_attr obj;
    uint32_t dir_present;
    nfs_attr dir;
};
struct nfs3_access_res {
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    uint32_t access;
};
struct nfs3_readlink_res {
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    uint32_t length;
    char text[NFS_READLINK_REPLY];
};
struct nfs3_read_res {  // the data is already in the reply buffer
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    uint32_t count;
    uint32_t eof;
};
struct nfs3_write_res {  // WRITE and COMMIT: file_wcc without "before"
    uint32_t status;
    uint32_t after_present;
    nfs_attr after;
    uint32_t count;
    uint32_t committed;
};
struct nfs3_create_res {  // CREATE, MKDIR, SYMLINK, MKNOD
    uint32_t status;
    nfs_handle fh;
    uint32_t obj_present;
    nfs_attr obj;
    uint32_t before_present;
    nfs_attr before;
    uint32_t after_present;
    nfs_attr after;
};
struct nfs3_rename_res {
    uint32_t status;
    uint32_t from_before_present;
    nfs_attr from_before;
    uint32_t from_after_present;
    nfs_attr from_after;
    uint32_t to_before_present;
    nfs_attr to_before;
    uint32_t to_after_present;
    nfs_attr to_after;
};
struct nfs3_link_res {
    uint32_t status;
    uint32_t file_present;
    nfs_attr file;
    uint32_t before_present;
    nfs_attr before;
    uint32_t after_present;
    nfs_attr after;
};
struct nfs3_fsstat_res {
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    nfs_fsstat fs;
};
struct nfs3_fsinfo_res {
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    uint32_t datasize;  // "Datasize" when the call was served
};
struct nfs3_pathconf_res {
    uint32_t status;
    uint32_t present;
    nfs_attr attr;
    uint32_t name_max;
    uint32_t case_preserving;
};

// Bytes of the saved result records.
static_assert(sizeof(nfs3_wcc_res) == 160);
static_assert(sizeof(nfs3_create_res) == 272);
static_assert(sizeof(nfs3_rename_res) == 320);
static_assert(sizeof(nfs3_link_res) == 240);

// Where a READ reply's data starts, counted from the end of the reply
// header: status, attributes follow, fattr3, count, eof, length.
constexpr uint32_t NFS3_READ_DATA = 4 + 4 + NFS_FATTR3_SIZE + 4 + 4 + 4;

void nfs3_encode_getattr(xdr_out *out, const void *result);
void nfs3_encode_wcc(xdr_out *out, const void *result);
void nfs3_encode_lookup(xdr_out *out, const void *result);
void nfs3_encode_access(xdr_out *out, const void *result);
void nfs3_encode_readlink(xdr_out *out, const void *result);
void nfs3_encode_read(xdr_out *out, const void *result);
void nfs3_encode_write(xdr_out *out, const void *result);
void nfs3_encode_create(xdr_out *out, const void *result);
void nfs3_encode_rename(xdr_out *out, const void *result);
void nfs3_encode_link(xdr_out *out, const void *result);
void nfs3_encode_fsstat(xdr_out *out, const void *result);
void nfs3_encode_fsinfo(xdr_out *out, const void *result);
void nfs3_encode_pathconf(xdr_out *out, const void *result);
void nfs3_encode_commit(xdr_out *out, const void *result);
