// The server's log lines captured in a temporary file for the life of the
// object, so that tests can compare them byte for byte.
#pragma once

#include <cstdio>
#include <string>

class log_capture {
   public:
    // Routes lines of `level` and below here (the setting "Log" becomes `level`).
    explicit log_capture(int level = 1);
    ~log_capture();
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    void level(int level);
    // Everything captured so far.
    std::string text();
    // What was captured since the last call of since() or clear().
    std::string since();
    // Forgets what was captured so far.
    void clear();

   private:
    FILE *file_;
    long seen_ = 0;
};
