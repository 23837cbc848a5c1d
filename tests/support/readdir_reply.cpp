#include "support/readdir_reply.h"

#include <algorithm>
#include <cstring>

#include "nfsd/readdir.h"

namespace {

// A bounded big-endian reader that keeps the first fault.
struct reader {
    const uint8_t *p;
    uint32_t n, at;
    std::string error;

    uint32_t fail(const char *why) {
        if (error.empty()) error = std::string(why) + " at byte " + std::to_string(at);
        return 0;
    }
    uint32_t word() {
        if (at + 4 > n) return fail("short");
        at += 4;
        return uint32_t(p[at - 4]) << 24 | uint32_t(p[at - 3]) << 16 | uint32_t(p[at - 2]) << 8 |
               p[at - 1];
    }
    uint64_t hyper() { return uint64_t(word()) << 32 | word(); }
    bool boolean() {
        uint32_t v = word();
        return v > 1 ? fail("bad boolean") : v == 1;
    }
    // `len` bytes and their padding, which must be 0; with `zero`, all of them.
    std::string opaque(uint32_t len, bool zero = false) {
        uint32_t padded = (len + 3) / 4 * 4;
        if (len > 1024 || at + padded > n) return fail("bad length"), "";
        std::string out(reinterpret_cast<const char *>(p + at), len);
        if (std::any_of(p + at + (zero ? 0 : len), p + at + padded, [](uint8_t b) { return b; }))
            fail("not zero");
        at += padded;
        return out;
    }
};

}  // namespace

std::vector<std::string> dir_reply::names() const {
    std::vector<std::string> out;
    for (const auto &e : entries) out.push_back(e.name);
    return out;
}

dir_reply dir_decode(dir_form form, const uint8_t *bytes, uint32_t n) {
    reader r{bytes, n, 0, {}};
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
