// test_home on Windows: a fresh folder under the user's temporary folder.
// User settings are the registry's, so there is no configuration folder to
// move aside. Paths are UTF-8 here, as everywhere in the program, and not
// the code page.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry.h"
#include "support/home.h"

static std::filesystem::path from_utf8(const std::string &s) {
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

test_home::test_home() {
    static unsigned made = 0;
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
        ("nimbora-home-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(made++));
    std::filesystem::remove_all(dir);  // a leftover of an earlier process with this id
    std::filesystem::create_directory(dir);
    std::u8string name = dir.u8string();
    dir_ = std::string(name.begin(), name.end()) + "\\";
    program_directory_set(dir_.c_str());
}

test_home::~test_home() {
    program_directory_set(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(from_utf8(dir_), ec);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(from_utf8(path), std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string &path) {
    std::ifstream f(from_utf8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
