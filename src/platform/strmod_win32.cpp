// Language modules on Windows: resource-only libraries, loaded as data so
// that no code of theirs runs, whose string tables hold the texts.
#include "platform/strmod.h"

#include <string>

#include "platform/wide_win32.h"

bool strmod_load(const char *path, uint32_t last,
                 void (*fn)(void *ctx, uint32_t number, const char *text), void *ctx) {
    std::wstring wide = wide_string(path);
    if (wide.empty()) return false;
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return false;
    for (uint32_t n = 1; n <= last; n++) {
        // With a size of 0 the call answers a pointer into the resource
        // itself, which is not terminated: the length says where it ends.
        const wchar_t *at = nullptr;
        int len = LoadStringW(module, n, reinterpret_cast<LPWSTR>(&at), 0);
        if (len <= 0 || !at) continue;
        std::wstring w(at, size_t(len));
        int bytes = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) continue;
        std::string text(size_t(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, text.data(), bytes, nullptr, nullptr);
        text.resize(size_t(bytes - 1));
        fn(ctx, n, text.c_str());
    }
    FreeLibrary(module);
    return true;
}

uint32_t strmod_user_language() {
    return uint32_t(PRIMARYLANGID(GetUserDefaultUILanguage()));
}
