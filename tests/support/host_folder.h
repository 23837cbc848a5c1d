// A fresh folder that the file layer reaches as at(rel), and the host's own
// view of the names in it (UTF-8, '\' between components): drive C: over a
// temporary directory on Linux, a folder under the temporary folder on
// Windows. Include it after the layer's headers.
#pragma once

#include <string>

#include "support/win_calls.h"
#ifdef _WIN32
#include "support/win_folder.h"

class host_folder : public win_folder {
   public:
    bool has(const std::string &rel) const {
        return GetFileAttributesW(wat(wide(rel)).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
};
#else
#include "support/drive_temp.h"

class host_folder : public temp_drive {
   public:
    std::string at(const std::string &rel) const { return "c:\\" + rel; }
    bool has(std::string rel) const {
        for (char &ch : rel)
            if (ch == '\\') ch = '/';
        return temp_drive::has(rel);
    }
};
#endif
