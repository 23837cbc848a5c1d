// Language modules: every text the user interface shows comes from a string
// table looked up by number. The program carries the English table; a module
// in "Languages" under the program directory holds the same table in another
// language (a resource-only library on Windows, its "number=text" source on
// Linux: see platform/strmod.h). Module files keep the names that settings
// refer to ("deutsch.dll"). The log is never translated. All calls are
// thread-safe.
#pragma once

#include <cstdint>
#include <string>

// Entries of the table (the English texts are in lang.cpp).
enum lang_text : uint32_t {
    TXT_LANGUAGE_NAME = 1,
    TXT_TABLE_VERSION = 2,
    TXT_TRANSLATOR = 3,
    TXT_MODULE = 5,
    TXT_LANGUAGE = 6,
    TXT_VERSION = 7,
    TXT_PREFERENCES = 8,
    TXT_EXIT = 9,
    TXT_HELP_FILE = 11,
    TXT_DIRECTORY = 13,
    TXT_OPTIONS = 14,
    TXT_CLIENTS = 15,
    TXT_PROGRAM = 16,
    TXT_PROTOCOL = 17,
    TXT_PORT = 18,
    TXT_CLIENT = 19,
    TXT_MOUNT_POINT = 20,
    TXT_EXPORTS_FIRST_PROBLEM = 21,  // 21..29: the numbers "ExpError" holds
    TXT_EXPORTS_LAST_PROBLEM = 29,
    TXT_PAGE_FIRST = 30,  // 30..: the texts of the settings pages
    TXT_EXPORTS_DUPLICATE = 68,
    TXT_LAST = 80,
};

constexpr uint32_t LANG_TEXT_MAX = 256;  // bytes of one entry, terminator included
constexpr const char *LANG_FOLDER = "Languages";
constexpr const char *LANG_GERMAN_MODULE = "deutsch.dll";

// Chooses the active module: the per-user value "Language" of "nfsd", else
// the machine's, else "deutsch.dll" when the user's locale is German; none,
// or one that does not load, leaves the English table active.
void lang_select();

// The module file name that lang_select made active, or "" for English.
std::string lang_active_module();

// Entry `number` of the active module, else of the English table, into `buf`
// (`size` bytes, always terminated when size > 0). Answers the length, 0
// when neither table has it.
uint32_t lang_load_text(uint32_t number, char *buf, uint32_t size);
std::string lang_text(uint32_t number);

// Entry `number` of the module file `name` (in "Languages") alone, without
// the English fallback ("" when the module lacks it); false when the file
// does not load. Null `name` reads the English table.
bool lang_module_text(const char *name, uint32_t number, std::string &out);

// Whether the user's interface language is German (on Linux the locale of
// LC_ALL, LC_MESSAGES or LANG; on Windows the user's UI language).
bool lang_locale_german();
