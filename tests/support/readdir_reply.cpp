#include "support/readdir_reply.h"

#include <algorithm>
#include <cstring>

#include "nfsd/readdir.h"
#include "support/rpc_msg.h"

std::vector<std::string> dir_reply::names() const {
    std::vector<std::string> out;
    for (const auto &e : entries) out.push_back(e.name);
    return out;
}

dir_reply dir_decode(dir_form form, const uint8_t *bytes, uint32_t n) {
    rpc_reader r{bytes, n};
    dir_reply d;
    d.length = n;
    bool v3 = form != DIR_V2, plus = form == DIR_PLUS;
    d.status = r.word();
    if (v3 && r.boolean()) r.opaque(84);  // the directory's attributes
    if (d.status == 0) {
        if (v3) r.opaque(8, true);  // cookieverf
        while (r.error.empty() && r.boolean()) {
            dir_entry e;
            e.offset = r.at - 4;
            r.at += v3 ? 8 : 4;  // fileid
            e.name = r.opaque(r.word());
            e.cookie = v3 ? r.hyper() : r.word();
            if (plus && (e.attr = r.boolean())) r.opaque(84);
            if (plus && (e.fh = r.boolean())) r.opaque(r.word());
            d.entries.push_back(e);
        }
        d.eof = r.boolean();
    }
    if (r.at != n) r.fail("bytes left over");
    d.error = r.error;
    return d;
}

std::vector<uint8_t> dir_bytes(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                               uint32_t dircount) {
    nfs_readdir_args args{};
    memcpy(args.fh, fh, form == DIR_V2 ? FH_SIZE : FH3_SIZE);
    args.cookie = cookie;
    args.count = count;
    args.dircount = dircount;
    rpc_cred cred{};
    cred.uid = 500;
    cred.gid = 100;
    // Every reply stays within the bound; the bytes past it stay untouched.
    constexpr uint32_t GUARD = 256;
    static thread_local std::vector<uint8_t> buffer(70000 + GUARD);
    static thread_local nfs_dirlist list;
    uint32_t bound = std::max(nfs_dir_limit(count), 164u) + 8;
    if (bound + GUARD > buffer.size()) return {};
    std::fill(&buffer[bound], &buffer[bound + GUARD], 0xEE);
    nfs_object dir;
    nfs_object_init(&dir, args.fh, &cred);
    const uint32_t forms[] = {NFS_DIR_V2, NFS_DIR_V3, NFS_DIR_PLUS};
    nfs_dirlist_fill(&list, &args, &dir, forms[form], buffer.data(), bound);
    xdr_out out;
    xdr_out_init(&out, buffer.data(), bound);
    (form == DIR_V2   ? xdr_readdirres
     : form == DIR_V3 ? xdr_readdir3res
                      : xdr_readdirplus3res)(&out, &list);
    uint32_t n = xdr_out_length(&out);
    if (out.overflow ||
        std::any_of(&buffer[bound], &buffer[bound + GUARD], [](uint8_t b) { return b != 0xEE; }))
        return {};
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
}

dir_reply dir_request(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                      uint32_t dircount) {
    std::vector<uint8_t> b = dir_bytes(form, fh, cookie, count, dircount);
    return dir_decode(form, b.data(), uint32_t(b.size()));
}
