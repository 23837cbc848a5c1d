// <windows.h>, which Winsock's header brings along, defines as macros names
// that the host layer's headers declare as typed constants of the same
// meaning (error codes, attributes, creation modes, drive types). Code above
// the host layer sees only the layer's constants: net.h undefines the
// macros after Winsock's header, whichever came first. Win32 sources of the
// layer that need the system's forms include <windows.h> after the layer's
// headers and before this one is read, or call the system by value.
#pragma once

#undef CREATE_ALWAYS
#undef CREATE_NEW
#undef DRIVE_CDROM
#undef DRIVE_FIXED
#undef DRIVE_NO_ROOT_DIR
#undef DRIVE_RAMDISK
#undef DRIVE_REMOTE
#undef DRIVE_REMOVABLE
#undef DRIVE_UNKNOWN
#undef ERROR_ACCESS_DENIED
#undef ERROR_ALREADY_EXISTS
#undef ERROR_BAD_NET_NAME
#undef ERROR_BAD_PATHNAME
#undef ERROR_CURRENT_DIRECTORY
#undef ERROR_DIRECTORY
#undef ERROR_DIR_NOT_EMPTY
#undef ERROR_DIR_NOT_ROOT
#undef ERROR_DISK_FULL
#undef ERROR_FILENAME_EXCED_RANGE
#undef ERROR_FILE_EXISTS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_HANDLE_EOF
#undef ERROR_INVALID_DRIVE
#undef ERROR_INVALID_FUNCTION
#undef ERROR_INVALID_HANDLE
#undef ERROR_INVALID_NAME
#undef ERROR_INVALID_PARAMETER
#undef ERROR_LOCK_VIOLATION
#undef ERROR_NEGATIVE_SEEK
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_NOT_ENOUGH_QUOTA
#undef ERROR_NOT_READY
#undef ERROR_NOT_SAME_DEVICE
#undef ERROR_NOT_SUPPORTED
#undef ERROR_NO_MORE_FILES
#undef ERROR_PATH_NOT_FOUND
#undef ERROR_SHARING_VIOLATION
#undef ERROR_SUCCESS
#undef ERROR_TOO_MANY_LINKS
#undef ERROR_TOO_MANY_OPEN_FILES
#undef ERROR_WRITE_PROTECT
#undef FILE_ATTRIBUTE_ARCHIVE
#undef FILE_ATTRIBUTE_DIRECTORY
#undef FILE_ATTRIBUTE_HIDDEN
#undef FILE_ATTRIBUTE_NORMAL
#undef FILE_ATTRIBUTE_READONLY
#undef FILE_ATTRIBUTE_SYSTEM
#undef FILE_BEGIN
#undef FILE_CURRENT
#undef FILE_END
#undef FILE_FLAG_BACKUP_SEMANTICS
#undef FILE_SHARE_DELETE
#undef FILE_SHARE_READ
#undef FILE_SHARE_WRITE
#undef GENERIC_READ
#undef GENERIC_WRITE
#undef INVALID_FILE_ATTRIBUTES
#undef INVALID_HANDLE_VALUE
#undef OPEN_ALWAYS
#undef OPEN_EXISTING
#undef SHUTDOWN_NORETRY
#undef TRUNCATE_EXISTING
