// The settings store. The server keeps its settings where the design expects
// a registry: machine values under HKEY_LOCAL_MACHINE "Software\Nimbora\<subkey>",
// the per-user "Language" under HKEY_CURRENT_USER. On this host both are text
// files in the registry-export format ("REGEDIT4", [key] sections,
// "name"="text" lines):
//   machine: <program directory>/settings.reg
//   user:    $XDG_CONFIG_HOME/nimbora/settings.reg (default ~/.config)
//
// Every call reads the file afresh; a missing file or key reads as empty.
// Writes rewrite the whole file through a temporary file and a rename, keep
// every other key, value, comment and unparseable line as it was, and are
// serialised by one process-wide lock. All calls are thread-safe.
#pragma once

#include <cstdint>
#include <string>

// Reads value `name` of key "Software\Nimbora\<subkey>" into `buf` (of `size`
// bytes, always NUL-terminated when size > 0). A string value gives its text;
// a value of another type (dword:, hex:) gives its raw bytes, as the registry
// does. When the key or value is missing, or the value does not fit in `buf`
// with its terminator, the default `def` (may be null for "") is copied in,
// cut to the buffer. Returns the length of the text, or for a raw value the
// number of bytes read.
uint32_t reg_read_string(const char *subkey, const char *name, const char *def, char *buf,
                         uint32_t size);

// Reads the value as text into a 64-byte buffer and scans one unsigned
// decimal number from it as "%u" does (leading blanks skipped). An empty,
// missing, too long or non-numeric value gives `def`.
uint32_t reg_read_number(const char *subkey, const char *name, uint32_t def);

// Stores `text` as a string value, creating the key (and the file) when
// needed; a null `text` deletes the value. Text with a line break is refused,
// because it would break the file's line format. Returns true when the store
// holds the requested state afterwards (deleting an absent value is true).
bool reg_write_string(const char *subkey, const char *name, const char *text);

// Stores `value` as "%u" text, or deletes the value when it equals `def`, so
// that the store only holds settings that differ from their defaults.
bool reg_write_number(const char *subkey, const char *name, uint32_t value, uint32_t def);

// The per-user counterparts (HKEY_CURRENT_USER "Software\Nimbora\<subkey>"),
// used for the language of the user interface.
uint32_t reg_read_user_string(const char *subkey, const char *name, const char *def, char *buf,
                              uint32_t size);
bool reg_write_user_string(const char *subkey, const char *name, const char *text);

// Calls `fn` for every string value of key "Software\Nimbora\<subkey>" in
// file order (a later duplicate of a name replaces the earlier one, as an
// import would). Values of other types are skipped. Returns the number of
// values passed to `fn`; 0 for a missing file or key.
uint32_t reg_enum_strings(const char *subkey,
                          void (*fn)(const char *name, const char *text, void *ctx), void *ctx);

// The program directory as an absolute POSIX path ending in '/': the folder
// set by program_directory_set, else the folder of the executable. Returns the
// length, or 0 (and an empty `buf`) when it does not fit.
uint32_t program_directory(char *buf, uint32_t size);

// Sets the program directory (the --home DIR of the command line; tests point
// it at a temporary folder). A relative `dir` is made absolute against the
// current directory; null or "" goes back to the executable's folder.
void program_directory_set(const char *dir);
// For the host layer: the folder of the running executable, ending in the
// host's separator, into *dir; false when the host cannot say.
bool program_executable_folder(std::string *dir);
// For the host layer: `dir` (not empty) made absolute, ending in the host's
// separator.
std::string program_folder_absolute(const char *dir);

// The major version of the NT-family system the server believes it runs on;
// 0 would mean Windows 95/98/ME. On this host a fixed 10.
uint32_t windows_nt_major();
