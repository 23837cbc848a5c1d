// What the fuzz targets share: a private network namespace when the process
// may make one (so that host-name look-ups of client words never leave the
// machine), and a temporary program directory with drive C: mapped inside it.
#pragma once

#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/drive.h"
#include "platform/registry.h"
#include "base/config.h"

// Makes the directory the program directory; answers its path ending in '/'.
inline std::string fuzz_home() {
    unshare(CLONE_NEWNET);  // best effort: without it look-ups just fail slower
    char tmpl[] = "/tmp/nimbora-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    std::string dir = std::string(tmpl) + "/";
    program_directory_set(tmpl);
    setenv("XDG_CONFIG_HOME", (dir + "config").c_str(), 1);
    mkdir((dir + "c").c_str(), 0755);
    drive_clear();
    drive_map("C", (dir + "c").c_str(), 3, 0);
    config.lowercase = 1;
    config.datasize = 8192;
    return dir;
}
