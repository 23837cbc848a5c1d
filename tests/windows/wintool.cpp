// What the end-to-end tests ask of the Windows side, as a Windows program
// would see it:
//   wintool exit              posts the Exit command (40001) to the window
//                             of class "nfsd" and waits until it is gone
//   wintool window            exit status 0 when a window of class "nfsd" exists
//   wintool attrib PATH       prints the attributes of PATH (hex)
//   wintool links PATH        prints the link count of PATH
// Exit status 0 on success, 1 on failure (the reason on standard error).
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT CMD_EXIT = 40001;
constexpr int WAIT_STEPS = 300;  // of 100 ms

int fail(const char *what) {
    fprintf(stderr, "wintool: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

int post_exit() {
    HWND w = FindWindowW(L"nfsd", nullptr);
    if (!w) return fail("FindWindow");
    if (!PostMessageW(w, WM_COMMAND, CMD_EXIT, 0)) return fail("PostMessage");
    for (int i = 0; i < WAIT_STEPS; i++) {
        if (!FindWindowW(L"nfsd", nullptr)) return 0;
        Sleep(100);
    }
    fprintf(stderr, "wintool: the window is still there\n");
    return 1;
}

int attrib(const wchar_t *path) {
    DWORD a = GetFileAttributesW(path);
    if (a == INVALID_FILE_ATTRIBUTES) return fail("GetFileAttributes");
    printf("%lx\n", a);
    return 0;
}

int links(const wchar_t *path) {
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail("CreateFile");
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return fail("GetFileInformationByHandle");
    printf("%lu\n", info.nNumberOfLinks);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && wcscmp(argv[1], L"exit") == 0) return post_exit();
    if (argc == 2 && wcscmp(argv[1], L"window") == 0) return FindWindowW(L"nfsd", nullptr) ? 0 : 1;
    if (argc == 3 && wcscmp(argv[1], L"attrib") == 0) return attrib(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"links") == 0) return links(argv[2]);
    fprintf(stderr, "usage: wintool exit | window | attrib PATH | links PATH\n");
    return 2;
}
