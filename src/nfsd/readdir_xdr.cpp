// The three directory replies: RFC 1094 readdirres, RFC 1813 READDIR3res and
// READDIRPLUS3res. Each walks the child list from the first child that
// nfs_readdir found and writes entries while the size tests let it.
#include <cstring>
#include <mutex>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/cache.h"
#include "nfsd/readdir.h"
#include "nfsd/readdir_internal.h"
#include "nfsd/request.h"

namespace {

using table_hold = std::lock_guard<std::recursive_mutex>;

// Bytes of an entry besides its name, rounded up, as the size tests count
// them: v2 follows + fileid + length + pad + cookie (at most 19); v3 with
// 64-bit fileid and cookie (at most 27); READDIRPLUS adds post_op_attr and
// post_op_fh3 (at most 139).
constexpr uint32_t V2_ENTRY = 24;
constexpr uint32_t V3_ENTRY = 32;
constexpr uint32_t PLUS_ENTRY = 140;
// The directory part of a READDIRPLUS entry (id, name, cookie), as dircount
// counts it.
constexpr uint32_t PLUS_DIR_ENTRY = 32;
const uint8_t COOKIEVERF[8] = {};  // never checked, always zero
constexpr uint32_t NAME_MAX_BYTES = INODE_PATH_MAX;

const char DOT[] = ".";
const char DOTDOT[] = "..";

// One entry's id, name and cookie; `wide` writes id and cookie as 64 bits
// with the high word 0.
void put_entry(xdr_out *o, bool wide, uint32_t fileid, const char *name, uint32_t n,
               uint32_t cookie) {
    xdr_u32(o, 1);
    if (wide) xdr_u32(o, 0);
    xdr_u32(o, fileid);
    xdr_opaque(o, name, n);
    if (wide) xdr_u32(o, 0);
    xdr_u32(o, cookie);
}

void put_list_end(xdr_out *o, bool eof) {
    xdr_u32(o, 0);
    xdr_u32(o, eof ? 1 : 0);
}

// The record of `child` when it is still a child of `dir`: a child removed
// meanwhile ends the list, and its block may already serve another
// directory. Table lock held.
const uint8_t *child_record(uint32_t dir, uint32_t child) {
    const uint8_t *rec = child ? inode_record(child) : nullptr;
    return rec && inode_rec_parent(rec) == dir ? rec : nullptr;
}

uint32_t dir_parent(uint32_t dir) {
    table_hold hold(inode_table_lock());
    const uint8_t *rec = inode_record(dir);
    return rec ? inode_rec_parent(rec) : 0;
}

// The entries of READDIR, v2 (`wide` false) and v3: the dot entries of a
// cookie-0 request without a size test, then children while w + n + entry <
// count, where `w` bytes have been written since the start of the result.
// The whole walk holds the table lock: it reads memory only. The list's end
// is left to the caller; *eof is false when the walk stopped for size.
void put_entries(xdr_out *o, const nfs_dirlist *l, bool wide, bool *eof, bool *wrote) {
    uint32_t entry = wide ? V3_ENTRY : V2_ENTRY;
    uint32_t counter = l->cookie, stopped_at = 0;
    char name[NAME_MAX_BYTES];
    *eof = true;
    *wrote = false;
    {
        table_hold hold(inode_table_lock());
        const uint8_t *d = inode_record(l->dir);
        uint32_t parent = d ? inode_rec_parent(d) : 0;
        if (counter == 0) {
            put_entry(o, wide, l->dir, DOT, 1, counter = 1);
            *wrote = true;
        }
        if (counter == 1 && parent != 0) {
            put_entry(o, wide, parent, DOTDOT, 2, counter = 2);
            *wrote = true;
        }
        for (uint32_t cur = l->first; const uint8_t *rec = child_record(l->dir, cur);) {
            uint32_t n = inode_name(rec, name, sizeof name);
            if (xdr_out_length(o) + n + entry >= l->count) {
                *eof = false;
                stopped_at = cur;
                break;
            }
            put_entry(o, wide, cur, name, n, ++counter);
            *wrote = true;
            cur = inode_rec_next(rec);
        }
    }
    if (stopped_at != 0) readdir_resume_save(l->dir, counter, stopped_at);
}

// READDIRPLUS: the state of one walk.
struct plus_walk {
    const nfs_dirlist *l;
    nfs_object *dir;
    xdr_out *o;           // over the whole result
    uint32_t attr_bytes;  // of the bytes written, attributes and handles
    bool wrote;
};

// Whether an entry with a name of `n` bytes still fits, by maxcount and
// by dircount (which counts names, ids and cookies only).
bool plus_fits(const plus_walk *p, uint32_t n) {
    uint32_t len = xdr_out_length(p->o);
    if (n + len + PLUS_ENTRY >= p->l->count) return false;
    return n + (len - p->attr_bytes) + PLUS_DIR_ENTRY <= p->l->dircount;
}

// The attributes of an entry, as the directory's export and the identity
// mapped for it show them. No lock is held: this goes to the disk.
bool entry_attr(plus_walk *p, const uint8_t *fh, uint32_t inode, nfs_attr *attr) {
    nfs_object *dir = p->dir;
    char path[NFS_PATH_MAX];
    if (!fh_path(dir->exp, fh, path) || !nfs_object_check(dir, true)) return false;
    // An open descriptor may hold changes the directory entry does not show yet.
    cache_close_idle(inode);
    return nfs_path_attr(inode, dir->exp, path, attr, nfs_object_identity(dir)) == NFS_OK;
}

// One entry with the attributes and the handle of `inode` in the export of
// the request.
void plus_entry(plus_walk *p, uint32_t inode, const char *name, uint32_t n, uint32_t cookie) {
    put_entry(p->o, true, inode, name, n, cookie);
    uint8_t fh[FH_SIZE];
    fh_make(inode, p->l->export_id, fh);
    nfs_attr attr;
    bool present = entry_attr(p, fh, inode, &attr);
    uint32_t before = xdr_out_length(p->o);
    xdr_post_op_attr(p->o, present, &attr);
    xdr_u32(p->o, 1);
    xdr_opaque(p->o, fh, FH3_SIZE);
    p->attr_bytes += xdr_out_length(p->o) - before;
    p->wrote = true;
}

// The listing of READDIRPLUS. Every entry, the dot entries included, passes
// the size tests, so that even a small "Datasize" with a large verifier
// cannot overflow the transport buffer.
bool put_plus_list(plus_walk *p) {
    const nfs_dirlist *l = p->l;
    uint32_t counter = l->cookie;
    uint32_t parent = dir_parent(l->dir);
    if (counter == 0) {
        if (!plus_fits(p, 1)) return false;
        plus_entry(p, l->dir, DOT, 1, counter = 1);
    }
    if (counter == 1 && parent != 0) {
        if (!plus_fits(p, 2)) return false;
        plus_entry(p, parent, DOTDOT, 2, counter = 2);
    }
    char name[NAME_MAX_BYTES];
    for (uint32_t cur = l->first; cur != 0;) {
        uint32_t n, next;
        {
            table_hold hold(inode_table_lock());
            const uint8_t *rec = child_record(l->dir, cur);
            if (!rec) return true;
            n = inode_name(rec, name, sizeof name);
            next = inode_rec_next(rec);
        }
        if (!plus_fits(p, n)) {
            readdir_resume_save(l->dir, counter, cur);
            return false;
        }
        plus_entry(p, cur, name, n, ++counter);
        cur = next;
    }
    return true;
}

// The status and, for version 3, the directory's post_op_attr: the whole
// reply when the status is not 0.
void put_head(xdr_out *o, const nfs_dirlist *l, bool v3) {
    xdr_u32(o, l->status);
    if (v3) xdr_post_op_attr(o, l->dir_attr_ok != 0, &l->dir_attr);
}

// The version 3 failure reply in place of a listing that could not hold a
// single entry: the status and the `head` bytes of it already written.
void too_small(xdr_out *o, uint32_t head) {
    xdr_out_rewind(o, head);
    xdr_put_u32(o->start, NFS3ERR_TOOSMALL);
}

}  // namespace

void xdr_readdirres(xdr_out *o, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    put_head(o, l, false);
    if (l->status != NFS_OK) return;
    bool eof, wrote;
    put_entries(o, l, false, &eof, &wrote);
    put_list_end(o, eof);
}

void xdr_readdir3res(xdr_out *o, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    put_head(o, l, true);
    if (l->status != NFS_OK) return;
    uint32_t head = xdr_out_length(o);
    xdr_fixed(o, COOKIEVERF, sizeof COOKIEVERF);
    bool eof, wrote;
    put_entries(o, l, true, &eof, &wrote);
    if (!wrote && !eof) return too_small(o, head);
    put_list_end(o, eof);
}

void nfs_plus_walk(nfs_dirlist *l, nfs_object *dir, uint8_t *out, uint32_t room, uint32_t len) {
    xdr_out o;
    xdr_out_init(&o, out, room);
    xdr_reserve(&o, len);  // the head, which the encoder writes
    // The directory's own attributes count as attributes for dircount too:
    // all of the head but the status word and the verifier.
    plus_walk p = {l, dir, &o, len - 4 - uint32_t(sizeof COOKIEVERF), false};
    l->plus_eof = put_plus_list(&p);
    l->plus_wrote = p.wrote;
    l->plus = out + len;
    // A walk cut off by the buffer's end (the size tests should never let
    // it) makes the encoder fail the reply rather than send half an entry.
    l->plus_length = o.overflow ? UINT32_MAX : xdr_out_length(&o) - len;
}

void xdr_readdirplus3res(xdr_out *o, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    put_head(o, l, true);
    if (l->status != NFS_OK) return;
    uint32_t head = xdr_out_length(o);
    xdr_fixed(o, COOKIEVERF, sizeof COOKIEVERF);
    if (!l->plus_wrote && !l->plus_eof) return too_small(o, head);
    // The procedure wrote the entries in their place; a reply built
    // elsewhere (tests) takes a copy.
    uint8_t *at = xdr_reserve(o, l->plus_length);
    if (at && at != l->plus) memmove(at, l->plus, l->plus_length);
    put_list_end(o, l->plus_eof != 0);
}
