#include "support/readdir_reply.h"

#include <algorithm>
#include <cstring>

#include "fh/fh.h"
#include "nfsd/readdir.h"

namespace {

// A bounded big-endian reader that remembers the first fault.
struct reader {
    const uint8_t *p;
    uint32_t n, at = 0;
    std::string error;

    bool need(uint32_t k, const char *what) {
        if (error.empty() && (at > n || n - at < k)) error = std::string("short at ") + what;
        return error.empty();
    }
    uint32_t word(const char *what) {
        if (!need(4, what)) return 0;
        uint32_t v = uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 |
                     p[at + 3];
        at += 4;
        return v;
    }
    uint64_t hyper(const char *what) {
        uint64_t high = word(what);
        return high << 32 | word(what);
    }
    bool boolean(const char *what) {
        uint32_t v = word(what);
        if (v > 1 && error.empty()) error = std::string("bad boolean at ") + what;
        return v == 1;
    }
    std::vector<uint8_t> opaque(uint32_t len, const char *what) {
        uint32_t padded = (len + 3) / 4 * 4;
        if (len > 1024 || !need(padded, what)) {
            if (error.empty()) error = std::string("too long at ") + what;
            return {};
        }
        std::vector<uint8_t> out(p + at, p + at + len);
        for (uint32_t i = len; i < padded; i++)
            if (p[at + i] != 0 && error.empty()) error = std::string("pad at ") + what;
        at += padded;
        return out;
    }
    std::vector<uint32_t> words(uint32_t k, const char *what) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < k; i++) out.push_back(word(what));
        return out;
    }
};

constexpr uint32_t FATTR3_WORDS = 21;

}  // namespace

std::vector<std::string> dir_reply::names() const {
    std::vector<std::string> out;
    for (const auto &e : entries) out.push_back(e.name);
    return out;
}

std::vector<uint64_t> dir_reply::cookies() const {
    std::vector<uint64_t> out;
    for (const auto &e : entries) out.push_back(e.cookie);
    return out;
}

dir_reply dir_decode(dir_form form, const uint8_t *bytes, uint32_t n) {
    reader r{bytes, n, 0, {}};
    dir_reply d;
    d.length = n;
    bool v3 = form != DIR_V2;
    d.status = r.word("status");
    if (v3 && (d.has_dir_attr = r.boolean("dir_attributes")))
        d.dir_attr = r.words(FATTR3_WORDS, "dir fattr3");
    if (d.status == 0) {
        if (v3) d.verf = r.opaque(8, "cookieverf");
        while (r.error.empty() && r.boolean("value_follows")) {
            dir_entry e;
            e.offset = r.at - 4;
            e.fileid = v3 ? r.hyper("fileid") : r.word("fileid");
            auto name = r.opaque(r.word("name length"), "name");
            e.name.assign(name.begin(), name.end());
            e.cookie = v3 ? r.hyper("cookie") : r.word("cookie");
            if (form == DIR_PLUS) {
                if ((e.has_attr = r.boolean("name_attributes")))
                    e.attr = r.words(FATTR3_WORDS, "entry fattr3");
                if ((e.has_fh = r.boolean("name_handle")))
                    e.fh = r.opaque(r.word("handle length"), "handle");
            }
            d.entries.push_back(e);
        }
        d.eof = r.boolean("eof");
    }
    if (r.error.empty() && r.at != n) r.error = "bytes left over";
    d.error = r.error;
    return d;
}

namespace {

// Encodes one request into a thread's buffer; the reply's length, or 0 when
// bytes past the bound of every reply were touched.
uint32_t encode_request(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                        uint32_t dircount, uint32_t uid, uint32_t gid, const uint8_t **reply) {
    nfs_readdir_args args{};
    memcpy(args.fh, fh, form == DIR_V2 ? FH_SIZE : FH3_SIZE);
    args.cookie = cookie;
    args.count = count;
    args.dircount = dircount;
    rpc_cred cred{};
    cred.uid = uid;
    cred.gid = gid;
    static thread_local nfs_dirlist list;
    nfs_dirlist_fill(&list, &args, &cred, form != DIR_V2);

    constexpr uint32_t GUARD = 256;
    static thread_local std::vector<uint8_t> buffer(70000 + GUARD);
    memset(buffer.data(), 0xEE, buffer.size());
    uint32_t (*encode)(uint8_t *, const void *) =
        form == DIR_V2 ? xdr_readdirres : form == DIR_V3 ? xdr_readdir3res : xdr_readdirplus3res;
    uint32_t n = encode(buffer.data(), &list);
    *reply = buffer.data();
    // The bound every reply keeps: max(limit, 164) + 8 bytes.
    uint32_t bound = std::max(n, std::max(list.count, 164u) + 8);
    if (bound + GUARD > buffer.size()) return 0;
    for (uint32_t i = bound; i < bound + GUARD; i++)
        if (buffer[i] != 0xEE) return 0;
    return n;
}

}  // namespace

std::vector<uint8_t> dir_bytes(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                               uint32_t dircount, uint32_t uid, uint32_t gid) {
    const uint8_t *reply;
    uint32_t n = encode_request(form, fh, cookie, count, dircount, uid, gid, &reply);
    return std::vector<uint8_t>(reply, reply + n);
}

dir_reply dir_request(dir_form form, const uint8_t *fh, uint32_t cookie, uint32_t count,
                      uint32_t dircount, uint32_t uid, uint32_t gid) {
    const uint8_t *reply;
    uint32_t n = encode_request(form, fh, cookie, count, dircount, uid, gid, &reply);
    if (n == 0) {
        dir_reply fault;
        fault.error = "written past the reply's bound";
        return fault;
    }
    return dir_decode(form, reply, n);
}

dir_reply dir_list_all(dir_form form, const uint8_t *fh, uint32_t count, uint32_t dircount,
                       uint32_t max_replies) {
    dir_reply all;
    uint32_t cookie = 0;
    for (uint32_t i = 0; i < max_replies; i++) {
        dir_reply r = dir_request(form, fh, cookie, count, dircount);
        if (!r.error.empty() || r.status != 0) return r;
        for (auto &e : r.entries) all.entries.push_back(e);
        all.status = r.status;
        if (r.eof) {
            all.eof = true;
            return all;
        }
        if (r.entries.empty()) {
            all.error = "no progress without eof";
            return all;
        }
        cookie = uint32_t(r.entries.back().cookie);
    }
    all.error = "no eof";
    return all;
}
