// A small fixed pool of records, for calls whose common case must not
// allocate (the searches of attribute reads); when every slot is taken a
// record comes from the heap instead. Thread-safe.
#pragma once

#include <mutex>

template <typename T, int N>
class fixed_pool {
   public:
    // An unused record (its contents are the last user's).
    T *take() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (int i = 0; i < N; i++)
                if (!used_[i]) {
                    used_[i] = true;
                    return &slots_[i];
                }
        }
        return new T;
    }
    // Gives back a record of take.
    void give(T *t) {
        if (t < slots_ || t >= slots_ + N) {
            delete t;
            return;
        }
        std::lock_guard<std::mutex> hold(lock_);
        used_[t - slots_] = false;
    }

   private:
    std::mutex lock_;
    T slots_[N];
    bool used_[N] = {};
};
