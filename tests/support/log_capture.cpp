#include "support/log_capture.h"

#include <unistd.h>

#include "base/log.h"

log_capture::log_capture(int level) : file_(tmpfile()) {
    log_attach(file_, level);
}

log_capture::~log_capture() {
    log_attach(nullptr, 0);
    if (file_) fclose(file_);
}

void log_capture::level(int level) {
    log_attach(file_, level);
}

std::string log_capture::text() {
    if (!file_) return "";
    log_flush();
    long end = ftell(file_);
    std::string out(size_t(end), '\0');
    rewind(file_);
    out.resize(fread(out.data(), 1, out.size(), file_));
    fseek(file_, end, SEEK_SET);
    return out;
}

std::string log_capture::since() {
    std::string all = text();
    std::string out = all.substr(std::min(all.size(), size_t(seen_)));
    seen_ = long(all.size());
    return out;
}

void log_capture::clear() {
    if (!file_) return;
    log_flush();
    if (ftruncate(fileno(file_), 0) == 0) rewind(file_);
    seen_ = 0;
}
