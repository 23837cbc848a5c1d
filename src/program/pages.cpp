// The pages' web server: token check, the JSON the page script reads, the
// forms it posts, and the help files.
#include "program/pages.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "platform/textfile.h"
#include "base/log.h"
#include "program/lang.h"
#include "program/pages_settings.h"
#include "program/pages_state.h"

extern const char *const pages_html;  // pages_assets.cpp

namespace {

constexpr const char *HOST = "127.0.0.1";
constexpr uint32_t TOKEN_BYTES = 16;
constexpr size_t REQUEST_MAX = 512 * 1024;       // an exports file, with room
constexpr uint32_t EXPORTS_FILE_MAX = 256 * 1024;
constexpr const char *EXPORTS_DRAFT = "exports.draft";  // an edit under check
constexpr uint32_t DOC_FILE_MAX = 4 * 1024 * 1024;
constexpr const char *COOKIE = "nimbora_token";
constexpr const char *HEADER = "X-Nimbora-Token";

std::mutex pages_lock;
httplib::Server *server = nullptr;
std::thread serving;
std::string token;
std::string address;
void (*exit_command)() = nullptr;

std::string home_path(const char *name) {
    char home[1024];
    if (!program_directory(home, sizeof home)) return "";
    return std::string(home) + name;
}

// ---- JSON -----------------------------------------------------------------

std::string quote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

void send_json(httplib::Response &res, const std::string &body) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

// ---- the token --------------------------------------------------------------

bool same(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;  // the time taken does not tell how much matched
    for (size_t i = 0; i < a.size(); i++) diff |= unsigned(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookie_token(const httplib::Request &req) {
    std::string cookies = req.get_header_value("Cookie");
    std::string key = std::string(COOKIE) + "=";
    for (size_t at = 0; (at = cookies.find(key, at)) != std::string::npos; at += key.size()) {
        if (at > 0 && cookies[at - 1] != ' ' && cookies[at - 1] != ';') continue;
        size_t end = cookies.find(';', at);
        return cookies.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
    }
    return "";
}

// Reading needs the token from the cookie or the header; a change needs it
// in the header, which another site's page cannot set.
bool allowed(const httplib::Request &req) {
    if (same(req.get_header_value(HEADER), token)) return true;
    return req.method == "GET" && same(cookie_token(req), token);
}

bool make_token() {
    uint8_t bytes[TOKEN_BYTES];
    if (!random_bytes(bytes, TOKEN_BYTES)) return false;
    token.clear();
    for (uint8_t b : bytes) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", b);
        token += hex;
    }
    return textfile_write(home_path(PAGES_TOKEN_FILE).c_str(), token + "\n", true, nullptr);
}

// ---- what the pages show --------------------------------------------------

std::string texts_json() {
    std::string out = "{";
    for (uint32_t n = 1; n <= TXT_LAST; n++) {
        char buf[LANG_TEXT_MAX];
        if (!lang_load_text(n, buf, sizeof buf) && n != TXT_TRANSLATOR) continue;
        out += (out.size() > 1 ? ",\"" : "\"") + std::to_string(n) + "\":" + quote(buf);
    }
    return out + "}";
}

std::string settings_json() {
    std::string out = "{";
    for (uint32_t i = 0; i < page_settings_count; i++)
        out += (i ? "," : "") + quote(page_settings[i].name) + ":" + quote(page_setting_shown(i));
    return out + "}";
}

std::string rows_json(const page_rows &rows, size_t cells) {
    std::string out = "[";
    for (const auto &r : rows) {
        out += out.size() > 1 ? ",[" : "[";
        for (size_t i = 0; i < cells && i < r.size(); i++) out += (i ? "," : "") + quote(r[i]);
        out += "]";
    }
    return out + "]";
}

// The problems of the exports file at `path` as a JSON list of {line, text}.
std::string exports_problems_json(const char *path, uint32_t *count) {
    std::vector<page_problem> problems;
    *count = page_exports_problems(path, problems);
    std::string out = "[";
    for (const page_problem &p : problems)
        out += (out.size() > 1 ? ",{" : "{") + std::string("\"line\":") + std::to_string(p.line) +
               ",\"text\":" + quote(p.text) + "}";
    return out + "]";
}

std::string exports_json() {
    uint32_t count;
    std::string problems = exports_problems_json(home_path("exports").c_str(), &count);
    return "{\"rows\":" + rows_json(page_exports_rows(), 3) + ",\"problems\":" + problems + "}";
}

std::string mounts_json() {
    return "{\"rows\":" + rows_json(page_mounts_rows(), 2) + "}";
}

std::string pmap_json() {
    return "{\"rows\":" + rows_json(page_portmapper_rows(), 4) + "}";
}

// Rows of [module, language, version, credit]; the module is the file name
// that the Language form sends back.
std::string languages_json() {
    page_rows rows = page_language_rows();
    for (auto &r : rows) r[LANG_ROW_MODULE] = r[LANG_ROW_FILE];
    return "{\"rows\":" + rows_json(rows, 4) + ",\"active\":" + quote(lang_active_module()) + "}";
}

// ---- the forms ------------------------------------------------------------

const char *form_value(void *ctx, const char *name) {
    const httplib::Request *req = static_cast<const httplib::Request *>(ctx);
    auto it = req->params.find(name);
    return it == req->params.end() ? nullptr : it->second.c_str();
}

// The answer names each refused field with its accepted values, so the page
// can mark it; "ok" only when the form was stored.
void apply_page(int page, const httplib::Request &req, httplib::Response &res) {
    page_apply_result r = page_settings_apply(page, form_value, const_cast<httplib::Request *>(&req));
    std::string rejected = "{";
    for (uint32_t i = 0; i < r.rejected_count; i++)
        rejected += (i ? "," : "") + quote(page_settings[r.rejected[i]].name) + ":" +
                    quote(page_setting_range(r.rejected[i]));
    send_json(res, "{\"ok\":" + std::string(r.written ? "true" : "false") + ",\"rejected\":" +
                       rejected + "},\"settings\":" + settings_json() + "}");
}

// The per-user language: none for the program's own table.
void apply_language(const httplib::Request &req, httplib::Response &res) {
    std::string name = req.has_param("module") ? req.get_param_value("module") : "";
    bool ok = page_language_apply(name.c_str());
    send_json(res, "{\"ok\":" + std::string(ok ? "true" : "false") + "}");
}

// An edited exports file is read first, by the reader the next start uses,
// from a copy beside the file; with a problem nothing is saved unless the
// request says "force=1" (the page's "Save anyway").
void save_exports(const httplib::Request &req, httplib::Response &res) {
    if (req.body.size() > EXPORTS_FILE_MAX) return send_json(res, "{\"ok\":false}");
    std::string draft = home_path(EXPORTS_DRAFT);
    if (!textfile_write(draft.c_str(), req.body, false, nullptr))
        return send_json(res, "{\"ok\":false}");
    uint32_t count;
    std::string problems = exports_problems_json(draft.c_str(), &count);
    std::error_code ec;
    std::filesystem::remove(draft, ec);
    bool force = req.has_param("force") && req.get_param_value("force") == "1";
    bool ok = (count == 0 || force) && textfile_write(home_path("exports").c_str(), req.body, false,
                                                      home_path("exports.bak").c_str());
    send_json(res, "{\"ok\":" + std::string(ok ? "true" : "false") + ",\"problems\":" +
                       problems + "}");
}

// A help file: a plain name of a file in "doc", nothing else.
void serve_doc(const httplib::Request &req, httplib::Response &res) {
    std::string name = req.matches[1];
    std::string bytes;
    if (name.empty() || name[0] == '.' || name.find_first_of("/\\") != std::string::npos ||
        !textfile_read(home_path(("doc/" + name).c_str()).c_str(), bytes, DOC_FILE_MAX)) {
        res.status = 404;
        return;
    }
    bool html = name.size() > 4 && (ascii_equal(name.c_str() + name.size() - 4, ".htm") ||
                                    ascii_equal(name.c_str() + name.size() - 5, ".html"));
    res.set_content(bytes, html ? "text/html; charset=utf-8" : "text/plain; charset=utf-8");
}

void routes(httplib::Server &s) {
    s.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        // The first visit brings the token in the address; it becomes a
        // cookie so that the address bar and the history do not keep it.
        if (req.method == "GET" && req.path == "/" && req.has_param("token") &&
            same(req.get_param_value("token"), token)) {
            res.set_header("Set-Cookie", std::string(COOKIE) + "=" + token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect("/");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (allowed(req)) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("Forbidden: open the address with the token that nfsd printed.\n",
                        "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/", [](const httplib::Request &, httplib::Response &res) {
        std::string page = pages_html;
        size_t at = page.find("@TOKEN@");
        if (at != std::string::npos) page.replace(at, 7, token);
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Security-Policy", "default-src 'self' 'unsafe-inline'");
        res.set_content(page, "text/html; charset=utf-8");
    });
    s.Get("/api/texts", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, texts_json());
    });
    s.Get("/api/settings", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, settings_json());
    });
    s.Get("/api/exports", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, exports_json());
    });
    s.Get("/api/mounts", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, mounts_json());
    });
    s.Get("/api/portmapper", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, pmap_json());
    });
    s.Get("/api/languages", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, languages_json());
    });
    s.Get("/api/exports-file", [](const httplib::Request &, httplib::Response &res) {
        std::string text;
        textfile_read(home_path("exports").c_str(), text, EXPORTS_FILE_MAX);
        res.set_header("Cache-Control", "no-store");
        res.set_content(text, "text/plain; charset=utf-8");
    });
    s.Post("/api/nfs", [](const httplib::Request &req, httplib::Response &res) {
        apply_page(0, req, res);
    });
    s.Post("/api/server", [](const httplib::Request &req, httplib::Response &res) {
        apply_page(1, req, res);
    });
    s.Post("/api/language", apply_language);
    s.Post("/api/exports-file", save_exports);
    s.Post("/api/exit", [](const httplib::Request &, httplib::Response &res) {
        send_json(res, "{\"ok\":true}");
        if (exit_command) exit_command();
    });
    s.Get("/help", [](const httplib::Request &, httplib::Response &res) {
        res.set_redirect("/doc/" + lang_text(TXT_HELP_FILE));
    });
    s.Get(R"(/doc/([^/]+))", serve_doc);
}

}  // namespace

bool pages_start(void (*exit_fn)()) {
    std::lock_guard<std::mutex> hold(pages_lock);
    if (server) return true;
    uint32_t port = reg_read_number("nfsd", "Pages-Port", PAGES_PORT_DEFAULT);
    if (port == 0 || port > 65535) return true;
    if (!make_token()) {
        log_printf(LOG_EVENT, "%s pages: cannot write %s\n", log_time(), PAGES_TOKEN_FILE);
        return false;
    }
    exit_command = exit_fn;
    server = new httplib::Server;
    server->set_payload_max_length(REQUEST_MAX);
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    server->set_keep_alive_max_count(100);
    routes(*server);
    if (!server->bind_to_port(HOST, int(port))) {
        log_printf(LOG_EVENT, "%s pages: bind on port %u failed\n", log_time(), port);
        delete server;
        server = nullptr;
        return false;
    }
    address = "http://" + std::string(HOST) + ":" + std::to_string(port) + "/?token=" + token;
    serving = std::thread([] { server->listen_after_bind(); });
    log_printf(LOG_EVENT, "%s pages ready on port %u\n", log_time(), port);
    return true;
}

void pages_stop() {
    std::lock_guard<std::mutex> hold(pages_lock);
    if (!server) return;
    server->stop();
    if (serving.joinable()) serving.join();
    delete server;
    server = nullptr;
    address.clear();
}

std::string pages_address() {
    std::lock_guard<std::mutex> hold(pages_lock);
    return address;
}
