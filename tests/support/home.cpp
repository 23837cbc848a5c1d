#include "support/home.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/registry.h"

test_home::test_home() {
    char tmpl[] = "/tmp/nimbora-home-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = std::string(tmpl) + "/";
    program_directory_set(tmpl);
    if (const char *xdg = getenv("XDG_CONFIG_HOME")) {
        had_xdg_ = true;
        old_xdg_ = xdg;
    }
    setenv("XDG_CONFIG_HOME", (dir_ + "config").c_str(), 1);
}

test_home::~test_home() {
    program_directory_set(nullptr);
    if (had_xdg_)
        setenv("XDG_CONFIG_HOME", old_xdg_.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
