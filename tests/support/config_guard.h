// Restores the configuration record when a test ends, so that the settings
// a test puts into `config` never reach the next test.
#pragma once

#include "base/config.h"

class config_guard {
   public:
    config_guard() : saved_(config) {}
    ~config_guard() { config = saved_; }
    config_guard(const config_guard &) = delete;
    config_guard &operator=(const config_guard &) = delete;

   private:
    nfsd_config saved_;
};
