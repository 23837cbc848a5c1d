// The settings pages' rules as a user meets them, one table for every front
// end: the browser pages (tests/program/pages_test.cpp) and the property
// sheet on Windows (tests/windows/wintool.cpp) run the same rows and must
// store the same values. Each row starts from a store without any value of
// its page.
#pragma once

#include <string>

struct page_case {
    const char *what;
    int page;  // 0 "NFS", 1 "Server"
    // The form as the user leaves it: "name=text" for a number field,
    // "name=1" for a checked box (a box not named is clear); "CharSet=1" is
    // the ANSI box, "CharSet=2" the UTF-8 one.
    const char *form;
    bool accepted;
    // The store afterwards, "name=text" each, ";"-separated; "name=" means
    // no value (the default applies).
    const char *stored;
};

#define PAGE_NFS_DEFAULTS_NUMBERS "Mount-Port=1058&Port=2049&Threads=4&Datasize=8192"

// clang-format off
inline const page_case page_cases[] = {
    {"values at their defaults are removed, not stored", 0,
     PAGE_NFS_DEFAULTS_NUMBERS "&UDP=1&TCP=1&Version2=1&Version3=1&NFS2Write=1&SoftLinks=1&HardLinks=1",
     true, "Mount-Port=;Port=;Threads=;Datasize=;UDP=;TCP=;Version2=;Version3=;NFS2Write=;SoftLinks=;HardLinks="},
    {"changed numbers and cleared boxes are stored", 0,
     "Mount-Port=1059&Port=2050&Threads=8&Datasize=32768&UDP=1&Version3=1&SoftLinks=1",
     true, "Mount-Port=1059;Port=2050;Threads=8;Datasize=32768;UDP=;TCP=0;Version2=0;Version3=;NFS2Write=2;SoftLinks=;HardLinks=0"},
    {"a port that is no number is refused and nothing is stored", 0,
     "Mount-Port=1059&Port=abc&Threads=4&Datasize=8192&UDP=1&TCP=1&Version2=1&Version3=1",
     false, "Mount-Port=;Port=;TCP=;NFS2Write="},
    {"threads above 32 are refused", 0,
     "Mount-Port=1058&Port=2050&Threads=100&Datasize=8192&UDP=1&TCP=1&Version2=1&Version3=1",
     false, "Port=;Threads="},
    {"no thread at all is refused", 0,
     "Mount-Port=1058&Port=2049&Threads=0&Datasize=8192&UDP=1&TCP=1&Version2=1&Version3=1",
     false, "Threads="},
    {"a transfer size beyond 1 MiB is refused", 0,
     "Mount-Port=1058&Port=2049&Threads=4&Datasize=1048577&UDP=1&TCP=1&Version2=1&Version3=1",
     false, "Datasize="},
    {"a port beyond 16 bits is refused", 0,
     "Mount-Port=65536&Port=2049&Threads=4&Datasize=8192&UDP=1&TCP=1&Version2=1&Version3=1",
     false, "Mount-Port="},
    {"clearing both transports and both versions keeps UDP and version 2", 0,
     PAGE_NFS_DEFAULTS_NUMBERS "&NFS2Write=1",
     true, "UDP=;TCP=0;Version2=;Version3=0"},
    {"server boxes and the UTF-8 character set", 1,
     "PortMapper=1&Remote=1&Lowercase=1&CharSet=2",
     true, "PortMapper=;Remote=1;InodeReset=;Lowercase=;CharSet=2"},
    {"cleared defaults and the ANSI character set", 1,
     "InodeReset=1&CharSet=1",
     true, "PortMapper=0;Remote=;InodeReset=1;Lowercase=0;CharSet=1"},
};
// clang-format on

// Calls fn(name, item) for each "name=text" item of a row's `stored`.
template <typename Fn>
void page_case_stored(const char *stored, Fn fn) {
    std::string all = stored;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(';', at);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(at, end - at);
        fn(item.substr(0, item.find('=')), item);
        at = end + 1;
    }
}
