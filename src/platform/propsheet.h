// A property sheet of the window system, for the settings pages on Windows:
// tabbed pages of plain controls (texts, edit fields, check boxes, group
// boxes, buttons, report list views) laid out in dialog units, with the
// sheet's OK, Cancel and Apply buttons. The program says what the pages
// hold and decides everything; this layer only draws and reports. Linux has
// no such sheet (its pages are the browser's), so this header has only a
// Win32 backend. Every call belongs to the thread that runs the window, and
// one sheet at most is open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum sheet_kind : uint8_t {
    SHEET_TEXT,    // a static text (it wraps when its box is high enough)
    SHEET_EDIT,    // a one-line edit field
    SHEET_CHECK,   // an automatic check box
    SHEET_GROUP,   // a group box
    SHEET_BUTTON,  // a push button
    SHEET_LIST,    // a report list view, one row selectable
};

// One control: its identifier (unique on its page), kind and place in
// dialog units.
struct sheet_control {
    uint16_t id;
    sheet_kind kind;
    int16_t x, y, w, h;
};

struct sheet_page {
    const sheet_control *controls;
    uint32_t count;
};

// Dialog units of every page.
constexpr int16_t SHEET_PAGE_W = 260, SHEET_PAGE_H = 215;

// What the program does on the sheet's events; `page` is the page's index.
struct sheet_hooks {
    void (*init)(int page);               // the page's controls exist: fill them
    void (*active)(int page, bool on);    // the page became the shown one, or was left
    void (*command)(int page, uint16_t id);  // a button or box was clicked, an edit field changed
    // Apply or OK: store the page. False refuses, and the sheet stays open
    // on this page.
    bool (*apply)(int page);
    void (*timer)(int page);              // the page's timer (sheet_timer)
    void (*selected)(int page, uint16_t list, int row);  // a list row was selected
};

// Opens the sheet with `count` pages titled `titles` (UTF-8) and runs it
// until OK or Cancel closes it (the sheet is modal to the program's other
// windows). False when it could not be shown or another one is open.
bool sheet_open(const char *caption, const char *const *titles, const sheet_page *pages,
                uint32_t count, const sheet_hooks *hooks);

// While a sheet is open: brings it to the front and answers true.
bool sheet_to_front();

// The controls of a page (texts in UTF-8).
void sheet_set_text(int page, uint16_t id, const char *text);
std::string sheet_text(int page, uint16_t id);
void sheet_set_check(int page, uint16_t id, bool on);
bool sheet_check(int page, uint16_t id);
void sheet_show(int page, uint16_t id, bool shown);

// Marks the sheet as changed, which enables its Apply button.
void sheet_changed(int page);

// A list's columns: titles and widths in percent of the list's width.
void sheet_list_columns(int page, uint16_t id, const char *const *titles, const int *percent,
                        uint32_t count);
// Replaces a list's rows (each row's cells in column order), keeping the
// selected row when one is still there.
void sheet_list_rows(int page, uint16_t id, const std::vector<std::vector<std::string>> &rows);
int sheet_list_selected(int page, uint16_t id);  // -1 for none
void sheet_list_select(int page, uint16_t id, int row);

// Starts the page's timer every `ms` milliseconds; 0 stops it.
void sheet_timer(int page, uint32_t ms);

// A message box over the sheet with an OK button.
void sheet_message(const char *caption, const char *text);

// Starts `command_line` (UTF-8) as a new process with a normal window.
bool sheet_start_program(const char *command_line);
