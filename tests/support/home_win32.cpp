// test_home on Windows: a fresh folder under the user's temporary folder.
// User settings are the registry's, so there is no configuration folder to
// move aside.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "platform/registry.h"
#include "support/home.h"

namespace {

std::string utf8(const std::filesystem::path &p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

std::filesystem::path from_utf8(const std::string &s) {
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

}  // namespace

test_home::test_home() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned i = 0;; i++) {
        std::filesystem::path dir = base / ("nimbora-home-" + std::to_string(GetCurrentProcessId()) +
                                            "-" + std::to_string(GetTickCount()) + "-" + std::to_string(i));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) {
            dir_ = utf8(dir) + "\\";
            break;
        }
        if (i > 100) throw std::runtime_error("no temporary folder");
    }
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
