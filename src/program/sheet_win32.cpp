// The settings sheet on Windows. It only draws: what a value may be, what is
// written and what the server's lists hold comes from the rules that the
// browser pages use too.
#include "program/sheet.h"

#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "platform/desktop.h"
#include "platform/propsheet.h"
#include "platform/registry.h"
#include "program/lang.h"
#include "program/pages_settings.h"
#include "program/pages_state.h"

namespace {

constexpr uint32_t LIST_REFRESH_MS = 2000;
constexpr uint32_t PATH_MAX_BYTES = 249;  // "Path": up to 248 bytes

// Texts of the string table the sheet uses beyond the lists' headings.
enum : uint32_t {
    T_PAGE_NFS = 30,  // 30..35: the pages' titles
    T_NOTE = 36,
    T_HELP = 48,
    T_ANSI = 54,
    T_UTF8 = 55,
    T_EDIT_EXPORTS = 56,
    T_TRANSLATION_BY = 58,
    T_CAPTION = 60,
    T_NOT_WRITTEN = 64,
    T_CURRENT = 65,
    T_REJECTED = 71,
    T_NOTHING_APPLIED = 72,
};

void (*help_command)();
page_rows languages;  // the Language page's rows while it is shown

// ---- the pages' controls ---------------------------------------------------

constexpr int16_t X = 7, W = SHEET_PAGE_W - 14, EDIT_X = 175, EDIT_W = 60, NOTE_Y = 168;

#define SET(i) uint16_t(SHEET_ID_SETTING + (i))
#define LABEL(i) uint16_t(SHEET_ID_LABEL + (i))

// The settings' rows of page_settings, in order: 0..3 the numbers, 4..10
// the NFS boxes, 11..14 the server boxes, 15 "CharSet".
const sheet_control nfs_controls[] = {
    {LABEL(0), SHEET_TEXT, X, 9, 165, 8},    {SET(0), SHEET_EDIT, EDIT_X, 7, EDIT_W, 12},
    {LABEL(1), SHEET_TEXT, X, 25, 165, 8},   {SET(1), SHEET_EDIT, EDIT_X, 23, EDIT_W, 12},
    {LABEL(2), SHEET_TEXT, X, 41, 165, 8},   {SET(2), SHEET_EDIT, EDIT_X, 39, EDIT_W, 12},
    {LABEL(3), SHEET_TEXT, X, 57, 165, 8},   {SET(3), SHEET_EDIT, EDIT_X, 55, EDIT_W, 12},
    {SET(4), SHEET_CHECK, X, 75, 80, 10},    {SET(5), SHEET_CHECK, 100, 75, 80, 10},
    {SET(6), SHEET_CHECK, X, 89, 80, 10},    {SET(7), SHEET_CHECK, 100, 89, 80, 10},
    {SET(8), SHEET_CHECK, X, 105, W, 10},    {SET(9), SHEET_CHECK, X, 119, W, 10},
    {SET(10), SHEET_CHECK, X, 133, W, 18},
    {SHEET_ID_NOTE, SHEET_TEXT, X, NOTE_Y, W, 18},
    {SHEET_ID_HELP, SHEET_BUTTON, X, 192, 60, 14},
};

const sheet_control server_controls[] = {
    {SET(11), SHEET_CHECK, X, 7, W, 10},
    {SET(12), SHEET_CHECK, X, 21, W, 10},
    {SET(13), SHEET_CHECK, X, 35, W, 18},
    {SET(14), SHEET_CHECK, X, 57, W, 10},
    {SET(15), SHEET_GROUP, X, 75, W, 42},
    {SHEET_ID_ANSI, SHEET_CHECK, 16, 88, W - 18, 10},
    {SHEET_ID_UTF8, SHEET_CHECK, 16, 101, W - 18, 10},
    {SHEET_ID_NOTE, SHEET_TEXT, X, NOTE_Y, W, 18},
};

const sheet_control exports_controls[] = {
    {SHEET_ID_EXPORTS, SHEET_LIST, X, 7, W, 130},
    {SHEET_ID_PROBLEMS, SHEET_TEXT, X, 141, W, 44},
    {SHEET_ID_EDIT_EXPORTS, SHEET_BUTTON, X, 192, 100, 14},
};

const sheet_control mounts_controls[] = {{SHEET_ID_MOUNTS, SHEET_LIST, X, 7, W, 199}};
const sheet_control pmap_controls[] = {{SHEET_ID_PORTMAPPER, SHEET_LIST, X, 7, W, 199}};

const sheet_control language_controls[] = {
    {SHEET_ID_CURRENT_LABEL, SHEET_TEXT, X, 9, 90, 8},
    {SHEET_ID_CURRENT, SHEET_TEXT, 100, 9, W - 93, 8},
    {SHEET_ID_LANGUAGES, SHEET_LIST, X, 24, W, 130},
    {SHEET_ID_CREDIT_LABEL, SHEET_TEXT, X, 162, 90, 8},
    {SHEET_ID_CREDIT, SHEET_TEXT, 100, 162, W - 93, 20},
};

#define PAGE(c) {c, sizeof c / sizeof c[0]}
const sheet_page pages[SHEET_PAGES] = {PAGE(nfs_controls),     PAGE(server_controls),
                                       PAGE(exports_controls), PAGE(mounts_controls),
                                       PAGE(pmap_controls),    PAGE(language_controls)};

// ---- helpers ---------------------------------------------------------------

int setting_index(const char *name) {
    for (uint32_t i = 0; i < page_settings_count; i++)
        if (strcmp(page_settings[i].name, name) == 0) return int(i);
    return -1;
}

bool is_box(const page_setting &s) {
    return s.rule == RULE_BOX || s.rule == RULE_BOX_2_0;
}

void set_text(int page, uint16_t id, uint32_t number) {
    sheet_set_text(page, id, lang_text(number).c_str());
}

void list_columns(int page, uint16_t id, std::initializer_list<uint32_t> texts,
                  std::initializer_list<int> widths) {
    std::string title[4];
    const char *titles[4];
    uint32_t n = 0;
    for (uint32_t t : texts) {
        title[n] = lang_text(t);
        titles[n] = title[n].c_str();
        n++;
    }
    sheet_list_columns(page, id, titles, widths.begin(), n);
}

// ---- the settings pages ----------------------------------------------------

void fill_settings(int page) {
    for (uint32_t i = 0; i < page_settings_count; i++) {
        const page_setting &s = page_settings[i];
        if (s.page != page) continue;
        std::string shown = page_setting_shown(i);
        if (s.rule == RULE_PORT || s.rule == RULE_CLAMP) {
            set_text(page, LABEL(i), s.text);
            sheet_set_text(page, SET(i), shown.c_str());
        } else if (is_box(s)) {
            set_text(page, SET(i), s.text);
            sheet_set_check(page, SET(i), shown == "1");
        } else {
            set_text(page, SET(i), s.text);
            set_text(page, SHEET_ID_ANSI, T_ANSI);
            set_text(page, SHEET_ID_UTF8, T_UTF8);
            sheet_set_check(page, SHEET_ID_ANSI, shown == "1");
            sheet_set_check(page, SHEET_ID_UTF8, shown == "2");
        }
    }
    set_text(page, SHEET_ID_NOTE, T_NOTE);
    if (page == SHEET_NFS) set_text(page, SHEET_ID_HELP, T_HELP);
}

// The form as page_settings_apply reads it: a number's text, "1" for a
// checked box, the character set's number.
struct form {
    int page;
    std::string text;
};

const char *form_value(void *ctx, const char *name) {
    form &f = *static_cast<form *>(ctx);
    int i = setting_index(name);
    if (i < 0) return nullptr;
    const page_setting &s = page_settings[i];
    if (s.rule == RULE_PORT || s.rule == RULE_CLAMP) {
        f.text = sheet_text(f.page, SET(i));
        return f.text.c_str();
    }
    if (is_box(s)) return sheet_check(f.page, SET(i)) ? "1" : nullptr;
    if (sheet_check(f.page, SHEET_ID_ANSI)) return "1";
    return sheet_check(f.page, SHEET_ID_UTF8) ? "2" : nullptr;
}

bool apply_settings(int page) {
    form f{page, ""};
    page_apply_result r = page_settings_apply(page, form_value, &f);
    if (r.written) return true;
    std::string text = lang_text(r.rejected_count ? T_NOTHING_APPLIED : T_NOT_WRITTEN);
    for (uint32_t k = 0; k < r.rejected_count; k++) {
        uint32_t i = r.rejected[k];
        std::string label = lang_text(page_settings[i].text);
        if (!label.empty() && label.back() == ':') label.pop_back();
        text += "\n" + label + ": " + lang_text(T_REJECTED) + " " + page_setting_range(i);
    }
    sheet_message(lang_text(T_CAPTION).c_str(), text.c_str());
    return false;
}

// One transport and one version stay checked, and one character set at most.
void settings_command(int page, uint16_t id) {
    static const struct {
        const char *a, *b;
    } partners[] = {{"UDP", "TCP"}, {"Version2", "Version3"}};
    for (const auto &p : partners) {
        uint16_t a = SET(setting_index(p.a)), b = SET(setting_index(p.b));
        if ((id == a || id == b) && !sheet_check(page, a) && !sheet_check(page, b))
            sheet_set_check(page, id == a ? b : a, true);
    }
    if (id == SHEET_ID_ANSI && sheet_check(page, id)) sheet_set_check(page, SHEET_ID_UTF8, false);
    if (id == SHEET_ID_UTF8 && sheet_check(page, id)) sheet_set_check(page, SHEET_ID_ANSI, false);
    if (id == SHEET_ID_HELP) {
        if (help_command) help_command();
        return;
    }
    sheet_changed(page);
}

// ---- the server's lists ----------------------------------------------------

void fill_exports() {
    sheet_list_rows(SHEET_EXPORTS_PAGE, SHEET_ID_EXPORTS, page_exports_rows());
    char home[1024];
    std::vector<page_problem> problems;
    if (program_directory(home, sizeof home))
        page_exports_problems((std::string(home) + "exports").c_str(), problems);
    std::string text;
    for (const page_problem &p : problems) text += (text.empty() ? "" : "\n") + p.text;
    sheet_set_text(SHEET_EXPORTS_PAGE, SHEET_ID_PROBLEMS, text.c_str());
}

void fill_list(int page) {
    if (page == SHEET_MOUNTS_PAGE) sheet_list_rows(page, SHEET_ID_MOUNTS, page_mounts_rows());
    if (page == SHEET_PMAP_PAGE) sheet_list_rows(page, SHEET_ID_PORTMAPPER, page_portmapper_rows());
}

// "notepad.exe " with the setting "Path" and "exports".
void edit_exports() {
    char path[PATH_MAX_BYTES];
    reg_read_string("nfsd", "Path", "", path, sizeof path);
    sheet_start_program((std::string("notepad.exe ") + path + "exports").c_str());
}

// ---- the language page -----------------------------------------------------

void fill_languages() {
    set_text(SHEET_LANGUAGE_PAGE, SHEET_ID_CURRENT_LABEL, T_CURRENT);
    set_text(SHEET_LANGUAGE_PAGE, SHEET_ID_CURRENT, TXT_LANGUAGE_NAME);
    set_text(SHEET_LANGUAGE_PAGE, SHEET_ID_CREDIT_LABEL, T_TRANSLATION_BY);
    list_columns(SHEET_LANGUAGE_PAGE, SHEET_ID_LANGUAGES, {TXT_MODULE, TXT_LANGUAGE, TXT_VERSION},
                 {40, 40, 25});
    languages = page_language_rows();
    page_rows shown;
    int active = 0;
    std::string module = lang_active_module();
    for (size_t i = 0; i < languages.size(); i++) {
        const auto &r = languages[i];
        shown.push_back({r[LANG_ROW_MODULE], r[LANG_ROW_LANGUAGE], r[LANG_ROW_VERSION]});
        if (!module.empty() && ascii_equal(r[LANG_ROW_FILE].c_str(), module.c_str())) active = int(i);
    }
    sheet_list_rows(SHEET_LANGUAGE_PAGE, SHEET_ID_LANGUAGES, shown);
    sheet_list_select(SHEET_LANGUAGE_PAGE, SHEET_ID_LANGUAGES, active);
    sheet_set_text(SHEET_LANGUAGE_PAGE, SHEET_ID_CREDIT, languages[size_t(active)][LANG_ROW_CREDIT].c_str());
}

bool apply_language() {
    int row = sheet_list_selected(SHEET_LANGUAGE_PAGE, SHEET_ID_LANGUAGES);
    if (row < 0 || size_t(row) >= languages.size()) return true;
    if (!page_language_apply(languages[size_t(row)][LANG_ROW_FILE].c_str())) {
        sheet_message(lang_text(T_CAPTION).c_str(), lang_text(T_NOT_WRITTEN).c_str());
        return false;
    }
    desktop_menu_rebuild();  // the tray menu speaks the new language at once
    return true;
}

// ---- the hooks -------------------------------------------------------------

void on_init(int page) {
    switch (page) {
        case SHEET_NFS:
        case SHEET_SERVER:
            fill_settings(page);
            break;
        case SHEET_EXPORTS_PAGE:
            list_columns(page, SHEET_ID_EXPORTS, {TXT_DIRECTORY, TXT_OPTIONS, TXT_CLIENTS}, {30, 30, 40});
            set_text(page, SHEET_ID_EDIT_EXPORTS, T_EDIT_EXPORTS);
            fill_exports();
            break;
        case SHEET_MOUNTS_PAGE:
            list_columns(page, SHEET_ID_MOUNTS, {TXT_CLIENT, TXT_MOUNT_POINT}, {50, 50});
            break;
        case SHEET_PMAP_PAGE:
            list_columns(page, SHEET_ID_PORTMAPPER, {TXT_PROGRAM, TXT_VERSION, TXT_PROTOCOL, TXT_PORT},
                         {25, 25, 25, 25});
            break;
        case SHEET_LANGUAGE_PAGE:
            fill_languages();
            break;
    }
}

// The lists of mounts and registrations are kept fresh while they are shown.
void on_active(int page, bool on) {
    if (page != SHEET_MOUNTS_PAGE && page != SHEET_PMAP_PAGE) return;
    if (on) fill_list(page);
    sheet_timer(page, on ? LIST_REFRESH_MS : 0);
}

void on_command(int page, uint16_t id) {
    if (page == SHEET_NFS || page == SHEET_SERVER) settings_command(page, id);
    if (page == SHEET_EXPORTS_PAGE && id == SHEET_ID_EDIT_EXPORTS) edit_exports();
}

bool on_apply(int page) {
    if (page == SHEET_NFS || page == SHEET_SERVER) return apply_settings(page);
    if (page == SHEET_LANGUAGE_PAGE) return apply_language();
    return true;
}

void on_selected(int page, uint16_t list, int row) {
    if (page != SHEET_LANGUAGE_PAGE || list != SHEET_ID_LANGUAGES) return;
    if (row < 0 || size_t(row) >= languages.size()) return;
    sheet_set_text(page, SHEET_ID_CREDIT, languages[size_t(row)][LANG_ROW_CREDIT].c_str());
    sheet_changed(page);
}

const sheet_hooks hooks = {on_init, on_active, on_command, on_apply, fill_list, on_selected};

}  // namespace

void sheet_preferences(void (*help)()) {
    if (sheet_to_front()) return;
    help_command = help;
    std::string title[SHEET_PAGES];
    const char *titles[SHEET_PAGES];
    for (int i = 0; i < SHEET_PAGES; i++) {
        title[i] = lang_text(T_PAGE_NFS + uint32_t(i));
        titles[i] = title[i].c_str();
    }
    sheet_open(lang_text(T_CAPTION).c_str(), titles, pages, SHEET_PAGES, &hooks);
    languages.clear();
}
