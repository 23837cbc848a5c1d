// The inode table's opening: the input is the table file, its header's
// volume serial made to match so that the stored table is reused and
// walked. Whatever the walk keeps must answer paths that stay below their
// drive; then the table takes a new record and closes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_home.h"
#include "inode/inode.h"

namespace {

std::string table_path;
uint8_t serial[4];

bool read_serial() {
    FILE *f = fopen(table_path.c_str(), "rb");
    if (!f) return false;
    bool ok = fseek(f, 12, SEEK_SET) == 0 && fread(serial, 1, 4, f) == 4;
    fclose(f);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    table_path = fuzz_home() + "inodes.nfs";
    config.inode_check = 0;
    config.inode_reset = 0;
    // A first, fresh table tells the serial of the volume that holds it.
    if (!inode_table_init()) abort();
    inode_table_shutdown();
    if (!read_serial()) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= 16) memcpy(&bytes[12], serial, 4);
    FILE *f = fopen(table_path.c_str(), "wb");
    if (!f) abort();
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    if (!inode_table_init()) return 0;
    char path[INODE_PATH_MAX];
    for (uint32_t inode = 32; inode < 32 * 64 && inode < size; inode += 32) {
        if (!inode_path(inode, path)) continue;
        // A rebuilt path never climbs out of its drive.
        if (strstr(path, "\\..\\") ||
            (strlen(path) >= 3 && !strcmp(path + strlen(path) - 3, "\\..")))
            abort();
    }
    inode_path_lookup("C:\\fuzz\\a-name-long-enough-for-a-name-block");
    inode_table_shutdown();
    return 0;
}
