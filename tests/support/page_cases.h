// The settings pages' rules as a user meets them, one table for the browser
// pages (tests/program/pages_test.cpp) and the property sheet on Windows
// (tests/windows/wintool.cpp): both run the rows in order and must store the
// same values. Rows at the defaults remove what the rows before them stored,
// so the server under test starts again with the defaults.
#pragma once

#include <sstream>
#include <string>

struct page_case {
    const char *what;
    int page;  // 0 "NFS", 1 "Server"
    // The form as the user leaves it: "name=text" for a number field (one
    // not named keeps its value), "name=1" for a checked box (a box not named
    // is clear); "CharSet=1" is the ANSI box, "CharSet=2" the UTF-8 one.
    const char *form;
    bool accepted;
    // The store afterwards, "name=text" each, ";"-separated; "name=" means
    // no value (the default applies).
    const char *stored;
};

// clang-format off
inline const page_case page_cases[] = {
    // A refused form stores nothing, not even its valid values or cleared boxes.
    {"a port that is no number is refused", 0, "Mount-Port=1059&Port=abc", false,
     "Mount-Port=;Port=;TCP=;NFS2Write="},
    {"threads above 32 are refused", 0, "Threads=100", false, "Threads=;TCP="},
    {"no thread at all is refused", 0, "Threads=0", false, "Threads=;TCP="},
    {"a transfer size beyond 1 MiB is refused", 0, "Datasize=1048577", false, "Datasize=;TCP="},
    {"a port beyond 16 bits is refused", 0, "Mount-Port=65536", false, "Mount-Port=;TCP="},
    {"clearing both transports and both versions keeps UDP and version 2", 0, "NFS2Write=1",
     true, "Port=;UDP=;TCP=0;Version2=;Version3=0"},
    {"changed numbers and cleared boxes are stored", 0,
     "Mount-Port=1059&Port=2050&Threads=8&Datasize=32768&UDP=1&Version3=1&SoftLinks=1", true,
     "Mount-Port=1059;Port=2050;Threads=8;Datasize=32768;UDP=;TCP=0;Version2=0;Version3=;"
     "NFS2Write=2;SoftLinks=;HardLinks=0"},
    {"values set back to their defaults are removed", 0,
     "Mount-Port=1058&Port=2049&Threads=4&Datasize=8192&UDP=1&TCP=1&Version2=1&Version3=1"
     "&NFS2Write=1&SoftLinks=1&HardLinks=1", true,
     "Mount-Port=;Port=;Threads=;Datasize=;TCP=;Version2=;NFS2Write=;HardLinks="},
    {"server boxes and the UTF-8 character set", 1,
     "PortMapper=1&Remote=1&Lowercase=1&CharSet=2", true,
     "PortMapper=;Remote=1;InodeReset=;Lowercase=;CharSet=2"},
    {"cleared defaults and the ANSI character set", 1, "InodeReset=1&CharSet=1", true,
     "PortMapper=0;Remote=;InodeReset=1;Lowercase=0;CharSet=1"},
    {"server values set back to their defaults are removed", 1, "PortMapper=1&Lowercase=1",
     true, "PortMapper=;InodeReset=;Lowercase=;CharSet="},
};
// clang-format on

// Calls fn(name, item) for each "name=text" item of a row's `stored`.
template <typename Fn>
void page_case_stored(const char *stored, Fn fn) {
    std::istringstream all(stored);
    for (std::string item; std::getline(all, item, ';');) fn(item.substr(0, item.find('=')), item);
}
