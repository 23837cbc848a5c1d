// Windows tests only: a fresh folder under the system's temporary folder
// while the object lives, removed with everything in it (whatever its
// attributes) when it goes. Paths in the layer's form are UTF-8.
#pragma once

#include <windows.h>

#include <string>

class win_folder {
   public:
    win_folder() {
        wchar_t tmp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, tmp);
        static int serial = 0;
        wdir_ = std::wstring(tmp) + L"nimbora-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(serial++);
        remove_tree(wdir_);  // left by an earlier run under the same process id
        ok_ = CreateDirectoryW(wdir_.c_str(), nullptr);
        dir_ = utf8(wdir_);
    }
    ~win_folder() { remove_tree(wdir_); }
    win_folder(const win_folder &) = delete;
    win_folder &operator=(const win_folder &) = delete;

    bool ok() const { return ok_; }
    const std::string &dir() const { return dir_; }
    // "<folder>\rel" as the layer takes it, and as the system's wide calls do.
    std::string at(const std::string &rel) const { return dir_ + "\\" + rel; }
    std::wstring wat(const std::wstring &rel) const { return wdir_ + L"\\" + rel; }

    static std::wstring wide(const std::string &s) {
        wchar_t w[MAX_PATH * 2];
        return MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w, MAX_PATH * 2) > 0 ? w : L"";
    }
    static std::string utf8(const std::wstring &w) {
        char out[MAX_PATH * 4];
        int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, out, sizeof out, nullptr, nullptr);
        return n > 0 ? std::string(out) : std::string();
    }

   private:
    static void remove_tree(const std::wstring &d) {
        WIN32_FIND_DATAW w;
        HANDLE h = FindFirstFileW((d + L"\\*").c_str(), &w);
        for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &w)) {
            std::wstring name = w.cFileName, p = d + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(p);
            else
                DeleteFileW(p.c_str());
        }
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
        SetFileAttributesW(d.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(d.c_str());
    }

    std::wstring wdir_;
    std::string dir_;
    bool ok_ = false;
};
