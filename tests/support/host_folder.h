// A fresh folder that the file layer reaches as at(rel), and the host's own
// view of the names in it (UTF-8, '/' between components): drive C: over a
// temporary directory on Linux, a folder under the system's temporary folder
// on Windows, removed with everything in it (whatever its attributes) when
// it goes. Include it after the layer's headers.
#pragma once

#include <string>

#include "support/win_calls.h"
#ifdef _WIN32
#include "platform/wide_win32.h"

class host_folder {
   public:
    host_folder() {
        wchar_t tmp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, tmp);
        static int serial = 0;
        wdir_ = std::wstring(tmp) + L"nimbora-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(serial++);
        char out[MAX_PATH * 4];
        if (utf8_from_wide(wdir_.c_str(), out, sizeof out)) dir_ = out;
        remove_tree(dir_);  // left by an earlier run under the same process id
        CreateDirectoryW(wdir_.c_str(), nullptr);
    }
    ~host_folder() { remove_tree(dir_); }
    host_folder(const host_folder &) = delete;
    host_folder &operator=(const host_folder &) = delete;

    const std::string &dir() const { return dir_; }
    // "<folder>\rel" as the layer takes it, and as the system's wide calls do.
    std::string at(const std::string &rel) const { return dir_ + "\\" + rel; }
    std::wstring wat(const std::wstring &rel) const { return wdir_ + L"\\" + rel; }
    bool has(const std::string &rel) const {
        return GetFileAttributesW(wat(wide_string(rel.c_str())).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

   private:
    // Through the layer, whatever the attributes.
    static void remove_tree(const std::string &d) {
        for (const auto &[name, data] : find_all(d + "\\*")) {
            std::string p = d + "\\" + name;
            if (name == "." || name == "..") continue;
            win_set_file_attributes(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.attributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(p);
            else
                win_delete_file(p.c_str());
        }
        win_set_file_attributes(d.c_str(), FILE_ATTRIBUTE_NORMAL);
        win_remove_directory(d.c_str());
    }

    std::wstring wdir_;
    std::string dir_;
};
#else
#include "support/drive_temp.h"

class host_folder : public temp_drive {
   public:
    std::string at(const std::string &rel) const { return "c:\\" + rel; }
};
#endif
