// The server's log lines captured in a temporary file for the life of the
// object, so that tests can compare them byte for byte.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/log.h"

class log_capture {
   public:
    // Routes lines of `level` and below here (the setting "Log" becomes `level`).
    explicit log_capture(int level = 1) : file_(tmpfile()) { log_attach(file_, level); }
    ~log_capture() {
        log_attach(nullptr, 0);
        if (file_) fclose(file_);
    }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    void level(int level) { log_attach(file_, level); }
    std::string text() {
        if (!file_) return "";
        log_flush();
        long end = ftell(file_);
        std::string out(size_t(end), '\0');
        rewind(file_);
        out.resize(fread(out.data(), 1, out.size(), file_));
        fseek(file_, end, SEEK_SET);
        return out;
    }
    // What was captured since the last call of since() or clear().
    std::string since() {
        std::string all = text();
        std::string out = all.substr(std::min(all.size(), size_t(seen_)));
        seen_ = long(all.size());
        return out;
    }
    void clear() {
        if (!file_) return;
        log_flush();
        if (ftruncate(fileno(file_), 0) == 0) rewind(file_);
        seen_ = 0;
    }

   private:
    FILE *file_;
    long seen_ = 0;
};
