// Version 2 (RFC 1094): the argument and result records of the procedures,
// their decoders and their encoders. A decoder fills a zeroed record from
// the call and answers false when the arguments do not decode; an encoder
// writes the status and, only when it is 0, the rest. Internal to
// src/nfsd/; the handlers are in nfs2_proc.cpp.
#pragma once

#include <cstdint>

#include "nfsd/nfs_shared.h"

// ---- Arguments ---------------------------------------------------------------

struct nfs2_fh_args {  // GETATTR, READLINK, STATFS
    nfs_handle fh;
};
struct nfs2_sattr_args {  // SETATTR
    nfs_handle fh;
    nfs_sattr sattr;
};
struct nfs2_dirop_args {  // LOOKUP, REMOVE, RMDIR
    nfs_handle dir;
    char name[NFS_NAME_MAX + 1];
};
struct nfs2_read_args {
    nfs_handle fh;
    uint32_t offset;
    uint32_t count;  // at most "Datasize"
};
struct nfs2_write_args {
    nfs_handle fh;
    uint32_t offset;
    uint32_t count;       // at most "Datasize"
    const uint8_t *data;  // in the call's buffer
};
struct nfs2_create_args {  // CREATE, MKDIR
    nfs2_dirop_args where;
    nfs_sattr sattr;  // an unset uid or gid holds the caller's
};
struct nfs2_rename_args {
    nfs2_dirop_args from, to;
};
struct nfs2_link_args {
    nfs_handle from;
    nfs2_dirop_args to;
};
struct nfs2_symlink_args {
    nfs2_dirop_args from;
    char text[NFS_LINK_MAX + 1];
    uint32_t text_length;
    nfs_sattr sattr;
};

bool nfs2_decode_fh(rpc_call *call, void *args);
bool nfs2_decode_sattr(rpc_call *call, void *args);
bool nfs2_decode_dirop(rpc_call *call, void *args);
bool nfs2_decode_read(rpc_call *call, void *args);
bool nfs2_decode_write(rpc_call *call, void *args);
bool nfs2_decode_create(rpc_call *call, void *args);
bool nfs2_decode_rename(rpc_call *call, void *args);
bool nfs2_decode_link(rpc_call *call, void *args);
bool nfs2_decode_symlink(rpc_call *call, void *args);

// ---- Results -----------------------------------------------------------------
// Results of procedures with a replay slot hold no pointers: a replay
// encodes the saved copy.

struct nfs2_status_res {  // REMOVE, RENAME, LINK, SYMLINK, RMDIR
    uint32_t status;
};
struct nfs2_attr_res {  // attrstat: GETATTR, SETATTR, WRITE
    uint32_t status;
    nfs_attr attr;
};
struct nfs2_dirop_res {  // diropres: LOOKUP, CREATE, MKDIR
    uint32_t status;
    nfs_handle fh;
    nfs_attr attr;
};
struct nfs2_readlink_res {
    uint32_t status;
    uint32_t length;
    char text[NFS_READLINK_REPLY];
};
struct nfs2_read_res {  // the data is already in the reply buffer
    uint32_t status;
    uint32_t count;
    nfs_attr attr;
};
struct nfs2_statfs_res {
    uint32_t status;
    uint32_t tsize;
    nfs_fsstat fs;
};

// Bytes of the saved result records.
static_assert(sizeof(nfs2_dirop_res) == 112);
static_assert(sizeof(nfs2_attr_res) == 80);
static_assert(sizeof(nfs2_status_res) == 4);

// Where a READ reply's data starts, counted from the end of the reply
// header: status, fattr, length.
constexpr uint32_t NFS2_READ_DATA = 4 + NFS_FATTR_SIZE + 4;

void nfs2_encode_status(xdr_out *out, const void *result);
void nfs2_encode_attr(xdr_out *out, const void *result);
void nfs2_encode_dirop(xdr_out *out, const void *result);
void nfs2_encode_readlink(xdr_out *out, const void *result);
void nfs2_encode_read(xdr_out *out, const void *result);
void nfs2_encode_statfs(xdr_out *out, const void *result);
