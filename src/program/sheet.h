// The settings pages on Windows as a property sheet ("NFS", "Server",
// "Exports", "Mounts", "PortMapper", "Language"), drawn from the rules the
// browser pages use too (pages_settings.h, pages_state.h). Main thread only.
#pragma once

#include <cstdint>

// Control identifiers of the sheet's pages, by which a user's tools (and
// the tests) find them. A setting's control is SHEET_ID_SETTING plus its
// index in page_settings, its label SHEET_ID_LABEL plus the same index.
enum : uint16_t {
    SHEET_ID_SETTING = 1000,
    SHEET_ID_LABEL = 1100,
    SHEET_ID_ANSI = 1200,      // the two boxes of "CharSet"
    SHEET_ID_UTF8 = 1201,
    SHEET_ID_NOTE = 1202,      // "Modifications are activated after server restart"
    SHEET_ID_HELP = 1203,
    SHEET_ID_EXPORTS = 1300,   // the lists
    SHEET_ID_PROBLEMS = 1301,  // the exports file's problems
    SHEET_ID_EDIT_EXPORTS = 1302,
    SHEET_ID_MOUNTS = 1400,
    SHEET_ID_PORTMAPPER = 1500,
    SHEET_ID_CURRENT_LABEL = 1600,
    SHEET_ID_CURRENT = 1601,
    SHEET_ID_LANGUAGES = 1602,
    SHEET_ID_CREDIT_LABEL = 1603,
    SHEET_ID_CREDIT = 1604,
};

// The pages in their order (also the sheet's page indexes).
enum { SHEET_NFS, SHEET_SERVER, SHEET_EXPORTS_PAGE, SHEET_MOUNTS_PAGE, SHEET_PMAP_PAGE, SHEET_LANGUAGE_PAGE, SHEET_PAGES };

// Opens the sheet, or brings the open one to the front. `help` is what the
// "&Help" button does (the Help command of the window). Returns when the
// sheet that this call opened is closed.
void sheet_preferences(void (*help)());
