// What the "Exports", "Mounts", "PortMapper" and "Language" pages show, and
// what the Language page applies: asked once here for every front end (the
// property sheet on Windows, the browser pages everywhere), so that they
// never disagree. The running server is asked over RPC on the local host, as
// any client would ask it; a query that fails gives no rows. Main thread or
// the pages' threads; every call is self-contained.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One list: rows of cells, in the order of the page's columns.
typedef std::vector<std::vector<std::string>> page_rows;

// The export list by MOUNT EXPORT (version 2): UDP first, TCP only when UDP
// answered nothing at all. Cells: directory, options, clients.
page_rows page_exports_rows();

// The mounts by MOUNT DUMP, UDP then TCP. Cells: client, mount point.
page_rows page_mounts_rows();

// The portmapper's registrations by DUMP over UDP. Cells: program, version,
// protocol ("UDP" for 17, "TCP" for 6, else the number), port.
page_rows page_portmapper_rows();

// Every problem that the reader the server starts with finds in the exports
// file at `path`, in the active language with its line number filled in
// ("Line 3 ignored, unknown option: -foo"). Answers how many there are; at
// most a bounded number are listed.
struct page_problem {
    uint32_t line;
    std::string text;
};
uint32_t page_exports_problems(const char *path, std::vector<page_problem> &out);

// The Language page's list: first the program's own table, then every
// loadable "Languages\*.dll" in name order. Cells: module as shown (the file
// name in lower case, "nfsd" for the program itself), language (entry 1),
// version (entry 2), translator (entry 3, at most 128 bytes), the file name
// as it is on disk ("" for the program itself).
enum { LANG_ROW_MODULE, LANG_ROW_LANGUAGE, LANG_ROW_VERSION, LANG_ROW_CREDIT, LANG_ROW_FILE };
page_rows page_language_rows();

// Applies a row of the Language page: `file` "" (the program's own table)
// deletes the per-user "Language" value, a module file name sets it (only a
// module that loads). Then the language is selected again. False when
// nothing was stored.
bool page_language_apply(const char *file);
