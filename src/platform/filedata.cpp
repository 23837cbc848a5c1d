// The parts of winfile.h that are the same on every host: file times and
// the content of a device file.
#include <cstring>

#include "platform/bytes.h"
#include "platform/winfile.h"

uint64_t win_time_from_unix(int64_t sec, uint32_t nsec) {
    int64_t t = sec * 10000000LL + nsec / 100 + int64_t(WIN_EPOCH_OFFSET);
    return t < 0 ? 0 : uint64_t(t);
}

int64_t win_time_to_unix(uint64_t t, uint32_t *nsec) {
    int64_t rel = int64_t(t) - int64_t(WIN_EPOCH_OFFSET);
    int64_t sec = rel / 10000000;
    int64_t rem = rel % 10000000;
    if (rem < 0) rem += 10000000, sec--;
    if (nsec) *nsec = uint32_t(rem * 100);
    return sec;
}

void win_device_header(uint8_t out[DEVICE_HEADER_SIZE], uint32_t type, uint32_t major,
                       uint32_t minor, uint32_t mode) {
    memset(out, 0, DEVICE_HEADER_SIZE);
    memcpy(out + DEVICE_HEADER_MAGIC, DEVICE_HEADER_TEXT, sizeof DEVICE_HEADER_TEXT);
    store_le32(out + DEVICE_HEADER_TYPE, type);
    store_le32(out + DEVICE_HEADER_MAJOR, major);
    store_le32(out + DEVICE_HEADER_MINOR, minor);
    store_le32(out + DEVICE_HEADER_MODE, mode);
}
