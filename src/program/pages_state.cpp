// The server's state as the pages show it, asked over RPC, and the
// language list.
#include "program/pages_state.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "exports/export.h"
#include "rpc/clnt.h"
#include "program/lang.h"

namespace {

constexpr uint32_t TRANSLATOR_MAX = 128;
constexpr const char *OWN_MODULE = "nfsd";  // the program's own table, as its row shows it
constexpr uint32_t PROTO_UDP = 17, PROTO_TCP = 6;

// A query over UDP, then over TCP when UDP gave nothing back at all.
template <typename Fn>
page_rows udp_then_tcp(bool (*query)(int, Fn, void *), Fn add) {
    page_rows rows;
    if (query(1, add, &rows)) return rows;
    rows.clear();
    if (!query(0, add, &rows)) rows.clear();
    return rows;
}

bool module_file(const std::string &name) {
    size_t n = name.size();
    return n > 4 && ascii_equal(name.c_str() + n - 4, ".dll");
}

}  // namespace

page_rows page_exports_rows() {
    mount_exports_fn add = [](void *ctx, const char *dir, const char *options, const char *clients) {
        static_cast<page_rows *>(ctx)->push_back({dir, options, clients});
    };
    return udp_then_tcp(mount_exports, add);
}

page_rows page_mounts_rows() {
    mount_dump_fn add = [](void *ctx, const char *host, const char *dir) {
        static_cast<page_rows *>(ctx)->push_back({host, dir});
    };
    return udp_then_tcp(mount_dump, add);
}

page_rows page_portmapper_rows() {
    page_rows rows;
    pmap_dump_fn add = [](void *ctx, uint32_t prog, uint32_t vers, uint32_t protocol, uint32_t port) {
        std::string p = protocol == PROTO_UDP   ? "UDP"
                        : protocol == PROTO_TCP ? "TCP"
                                                : std::to_string(protocol);
        static_cast<page_rows *>(ctx)->push_back(
            {std::to_string(prog), std::to_string(vers), p, std::to_string(port)});
    };
    if (!pmap_dump(1, add, &rows)) rows.clear();
    return rows;
}

uint32_t page_exports_problems(const char *path, std::vector<page_problem> &out) {
    static std::mutex check_lock;  // the report is large: one, shared
    static exports_report report;
    std::lock_guard<std::mutex> hold(check_lock);
    out.clear();
    exports_check(path, &report);
    uint32_t kept = std::min(report.count, EXPORTS_PROBLEMS_MAX);
    for (uint32_t i = 0; i < kept; i++) {
        const exports_problem &p = report.problems[i];
        // Module texts are never used as a format: "%u" is replaced, nothing else.
        std::string text = lang_text(p.number == EXPORTS_DUPLICATE ? TXT_EXPORTS_DUPLICATE : p.number);
        size_t at = text.find("%u");
        if (at != std::string::npos) text.replace(at, 2, std::to_string(p.line));
        if (p.detail[0]) text += std::string(": ") + p.detail;
        out.push_back({p.line, text});
    }
    return report.count;
}

page_rows page_language_rows() {
    page_rows rows;
    std::string name, version;
    lang_module_text(nullptr, TXT_LANGUAGE_NAME, name);
    lang_module_text(nullptr, TXT_TABLE_VERSION, version);
    rows.push_back({OWN_MODULE, name, version, "", ""});
    char home[1024];
    if (!program_directory(home, sizeof home)) return rows;
    std::error_code ec;
    std::vector<std::string> files;
    std::filesystem::path folder = std::filesystem::path(std::string(home) + LANG_FOLDER);
    for (const auto &f : std::filesystem::directory_iterator(folder, ec))
        if (f.is_regular_file(ec) && module_file(f.path().filename().string()))
            files.push_back(f.path().filename().string());
    std::sort(files.begin(), files.end());
    for (const std::string &file : files) {
        std::string lower, credit;
        for (char c : file) lower += ascii_lower(c);
        if (!lang_module_text(file.c_str(), TXT_LANGUAGE_NAME, name)) continue;
        lang_module_text(file.c_str(), TXT_TABLE_VERSION, version);
        lang_module_text(file.c_str(), TXT_TRANSLATOR, credit);
        if (credit.size() > TRANSLATOR_MAX) credit.resize(TRANSLATOR_MAX);
        rows.push_back({lower, name, version, credit, file});
    }
    return rows;
}

bool page_language_apply(const char *file) {
    std::string text;
    bool ok = !file || !*file ? reg_write_user_string("nfsd", "Language", nullptr)
                              : module_file(file) && lang_module_text(file, TXT_LANGUAGE_NAME, text) &&
                                    reg_write_user_string("nfsd", "Language", file);
    lang_select();
    return ok;
}
