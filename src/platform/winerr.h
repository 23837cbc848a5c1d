// Windows error codes and the thread-local last error of the host layer.
//
// Every Windows-style call of src/platform/ reports failure as Windows does:
// a false or invalid result, and the reason in a per-thread last-error word
// that the caller reads right after the call. The numbers are the Windows
// numbers, because the NFS code maps exactly these to NFS status values.
//
// The test seam at the end makes a named call fail with a chosen error, so
// that retry and restore paths above this layer can be exercised.
#pragma once

#include <cstdint>

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_DRIVE = 15;
constexpr uint32_t ERROR_CURRENT_DIRECTORY = 16;
constexpr uint32_t ERROR_NOT_SAME_DEVICE = 17;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t ERROR_WRITE_PROTECT = 19;
constexpr uint32_t ERROR_NOT_READY = 21;
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t ERROR_LOCK_VIOLATION = 33;
constexpr uint32_t ERROR_HANDLE_EOF = 38;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_BAD_NET_NAME = 67;
constexpr uint32_t ERROR_FILE_EXISTS = 80;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_DISK_FULL = 112;
constexpr uint32_t ERROR_INVALID_NAME = 123;
constexpr uint32_t ERROR_NEGATIVE_SEEK = 131;
constexpr uint32_t ERROR_DIR_NOT_ROOT = 144;
constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
constexpr uint32_t ERROR_BAD_PATHNAME = 161;
constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
constexpr uint32_t ERROR_DIRECTORY = 267;
constexpr uint32_t ERROR_TOO_MANY_LINKS = 1142;
constexpr uint32_t ERROR_NOT_ENOUGH_QUOTA = 1816;

// The calling thread's last error. Only failing calls set it, except where
// a Windows call also sets it on success (CreateFile with CREATE_ALWAYS or
// OPEN_ALWAYS on an existing file sets ERROR_ALREADY_EXISTS).
uint32_t win_last_error();
void win_set_last_error(uint32_t error);

// The Windows error a Windows host gives for the host errno `err` in a
// file call (ENOENT 2, EACCES/EPERM 5, EEXIST 80, ENOTEMPTY 145, ENOSPC 112,
// ENAMETOOLONG 206, ENOTDIR 3, EDQUOT 1816, EROFS 19, EXDEV 17, ...).
uint32_t win_error_from_errno(int err);

// ---- Test seam ----
// The next `count` calls of host call `call` fail with `error` before they
// touch anything (count 0: every call until cleared). `call` is the Windows
// name without its A/W suffix ("DeleteFile", "MoveFile", "CopyFile",
// "CreateFile", "GetFileAttributes", "SetFileAttributes", "CreateDirectory",
// "RemoveDirectory", "CreateHardLink", "FindFirstFile", "FindNextFile",
// "ReadFile", "WriteFile", "SetFilePointer", "SetEndOfFile",
// "GetFileInformationByHandle", "FlushFileBuffers", "GetDiskFreeSpaceEx",
// "GetVolumeInformation"), or a runtime call ("_open", "_lseeki64", "_read",
// "_write", "_commit", "_utime"), for which `error` is the errno to report.
// One rule per call name; a new rule for the same name replaces the old.
// Thread-safe; costs one relaxed atomic load per call while no rule is set.
void win_fail_inject(const char *call, uint32_t error, uint32_t count);
void win_fail_clear();
// Used by the layer: true when `call` must fail now; then `*error` holds the
// injected error (already stored as the last error for Windows calls).
bool win_fail_check(const char *call, uint32_t *error);
