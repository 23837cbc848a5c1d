// The settings the "NFS" and "Server" pages edit, and their rules on Apply.
// The pages show and write what the settings store holds (each value with
// its default), never the running server's record: a change takes effect at
// the next start. Apply writes each value with reg_write_number, so a value
// equal to its default is removed, and touches no other value.
#pragma once

#include <cstdint>
#include <string>

// One setting a page shows: the setting's name, its default and how the
// page's text or box turns into a value.
enum page_rule {
    RULE_PORT,       // decimal, 1 to 65535
    RULE_CLAMP,      // decimal in [low, high]
    RULE_BOX,        // a check box: 1 or 0
    RULE_BOX_2_0,    // a check box stored as 0 when checked, 2 when not ("NFS2Write")
    RULE_CHARSET,    // the two character-set boxes: 1 ANSI, 2 UTF-8, 0 neither
};

struct page_setting {
    const char *name;  // the setting ("Port")
    uint32_t text;     // its control text in the string table
    page_rule rule;
    uint32_t def;
    uint32_t low, high;  // the accepted numbers (RULE_PORT, RULE_CLAMP)
    int page;            // 0 "NFS", 1 "Server"
};

extern const page_setting page_settings[];
extern const uint32_t page_settings_count;

// The value a page shows for setting i: a number as text, or "1"/"0" for a
// box (for RULE_BOX_2_0, "1" when the stored value is 0).
std::string page_setting_shown(uint32_t i);

// What an Apply did: `written` when the form was stored; otherwise the
// settings (indexes into page_settings) whose text was refused, none of the
// form having been stored, or none refused when the store failed.
struct page_apply_result {
    bool written;
    uint32_t rejected_count;
    uint32_t rejected[16];
};

// Applies one page's form: `value(name)` answers the submitted text of a
// field, or null when the field was not sent (a cleared box; a number not
// sent keeps its stored value). A number that does not parse or lies
// outside its range is refused, and then nothing of
// the form is stored: a value quietly changed into another would say
// "Applied" for something the user never typed. The transport boxes and the
// version boxes each keep one checked, as the page itself does.
typedef const char *(*page_form_fn)(void *ctx, const char *name);
page_apply_result page_settings_apply(int page, page_form_fn value, void *ctx);

// The accepted values of a number setting as the page shows them ("1-32");
// "" for a box.
std::string page_setting_range(uint32_t i);

// One unsigned decimal number and nothing else (blanks around it allowed).
bool page_parse_number(const char *text, uint32_t *out);
