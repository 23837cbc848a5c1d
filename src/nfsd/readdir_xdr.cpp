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
uint32_t put_entry(uint8_t *out, bool wide, uint32_t fileid, const char *name, uint32_t n,
                   uint32_t cookie) {
    uint32_t len = xdr_put_u32(out, 1);
    if (wide) len += xdr_put_u32(out + len, 0);
    len += xdr_put_u32(out + len, fileid);
    len += xdr_put_opaque(out + len, name, n);
    if (wide) len += xdr_put_u32(out + len, 0);
    return len + xdr_put_u32(out + len, cookie);
}

uint32_t put_list_end(uint8_t *out, bool eof) {
    uint32_t len = xdr_put_u32(out, 0);
    return len + xdr_put_u32(out + len, eof ? 1 : 0);
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
uint32_t put_entries(uint8_t *out, uint32_t w, const nfs_dirlist *l, bool wide, bool *eof,
                     bool *wrote) {
    uint32_t entry = wide ? V3_ENTRY : V2_ENTRY;
    uint32_t len = 0, counter = l->cookie, stopped_at = 0;
    char name[NAME_MAX_BYTES];
    *eof = true;
    *wrote = false;
    {
        table_hold hold(inode_table_lock());
        const uint8_t *d = inode_record(l->dir);
        uint32_t parent = d ? inode_rec_parent(d) : 0;
        if (counter == 0) {
            len += put_entry(out + len, wide, l->dir, DOT, 1, counter = 1);
            *wrote = true;
        }
        if (counter == 1 && parent != 0) {
            len += put_entry(out + len, wide, parent, DOTDOT, 2, counter = 2);
            *wrote = true;
        }
        for (uint32_t cur = l->first; const uint8_t *rec = child_record(l->dir, cur);) {
            uint32_t n = inode_name(rec, name, sizeof name);
            if (w + len + n + entry >= l->count) {
                *eof = false;
                stopped_at = cur;
                break;
            }
            len += put_entry(out + len, wide, cur, name, n, ++counter);
            *wrote = true;
            cur = inode_rec_next(rec);
        }
    }
    if (stopped_at != 0) readdir_resume_save(l->dir, counter, stopped_at);
    return len;
}

// READDIRPLUS: the state of one walk.
struct plus_walk {
    const nfs_dirlist *l;
    uint8_t *out;
    uint32_t len;         // bytes written since the start of the result
    uint32_t attr_bytes;  // of them, attributes and handles
    rpc_cred cred;        // mapped in place by the attribute reads
    bool wrote;
};

// Whether an entry with a name of `n` bytes still fits, by maxcount and
// by dircount (which counts names, ids and cookies only).
bool plus_fits(const plus_walk *p, uint32_t n) {
    if (n + p->len + PLUS_ENTRY >= p->l->count) return false;
    return n + (p->len - p->attr_bytes) + PLUS_DIR_ENTRY <= p->l->dircount;
}

// One entry with the attributes and the handle of `inode` in the export of
// the request. No lock is held: the attribute read goes to the disk.
void plus_entry(plus_walk *p, uint32_t inode, const char *name, uint32_t n, uint32_t cookie) {
    p->len += put_entry(p->out + p->len, true, inode, name, n, cookie);
    uint8_t fh[FH_SIZE];
    fh_make(inode, p->l->export_id, fh);
    nfs_attr attr;
    bool present = nfs_fh_attr(fh, &attr, &p->cred) == NFS_OK;
    uint32_t extra = xdr_post_op_attr(p->out + p->len, present, &attr);
    extra += xdr_put_u32(p->out + p->len + extra, 1);
    extra += xdr_put_opaque(p->out + p->len + extra, fh, FH3_SIZE);
    p->len += extra;
    p->attr_bytes += extra;
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
uint32_t put_head(uint8_t *out, const nfs_dirlist *l, bool v3) {
    uint32_t len = xdr_put_u32(out, v3 ? l->status : nfs2_status(l->status));
    if (v3) len += xdr_post_op_attr(out + len, l->dir_attr_ok != 0, &l->dir_attr);
    return len;
}

// The version 3 failure reply in place of a listing that could not hold a
// single entry: the status and the `head` bytes of it already written. The
// bytes of the listing past them are left behind, inside the reply's limit.
uint32_t too_small(uint8_t *out, uint32_t head) {
    xdr_put_u32(out, NFS3ERR_TOOSMALL);
    return head;
}

}  // namespace

uint32_t xdr_readdirres(uint8_t *out, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    uint32_t len = put_head(out, l, false);
    if (l->status != NFS_OK) return len;
    bool eof, wrote;
    len += put_entries(out + len, len, l, false, &eof, &wrote);
    return len + put_list_end(out + len, eof);
}

uint32_t xdr_readdir3res(uint8_t *out, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    uint32_t head = put_head(out, l, true);
    if (l->status != NFS_OK) return head;
    uint32_t len = head + xdr_put_fixed(out + head, COOKIEVERF, sizeof COOKIEVERF);
    bool eof, wrote;
    len += put_entries(out + len, len, l, true, &eof, &wrote);
    if (!wrote && !eof) return too_small(out, head);
    return len + put_list_end(out + len, eof);
}

uint32_t xdr_readdirplus3res(uint8_t *out, const void *result) {
    const nfs_dirlist *l = static_cast<const nfs_dirlist *>(result);
    uint32_t head = put_head(out, l, true);
    if (l->status != NFS_OK) return head;
    uint32_t len = head + xdr_put_fixed(out + head, COOKIEVERF, sizeof COOKIEVERF);
    // The directory's own attributes count as attributes for dircount too.
    plus_walk p = {l, out, len, head - 4, l->cred, false};
    bool eof = put_plus_list(&p);
    if (!p.wrote && !eof) return too_small(out, head);
    return p.len + put_list_end(out + p.len, eof);
}
