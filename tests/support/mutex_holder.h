// Holds a named mutex from a thread of its own, the way another supervisor
// would (a mutex is recursive for its owner, so the test thread itself
// cannot stand for another holder).
#pragma once

#include <windows.h>

#include <thread>

#include "win_handles.h"

namespace qeltest {

class ForeignMutexHolder {
public:
    explicit ForeignMutexHolder(const char* name);
    ~ForeignMutexHolder();
    ForeignMutexHolder(const ForeignMutexHolder&) = delete;
    ForeignMutexHolder& operator=(const ForeignMutexHolder&) = delete;

    // True when the thread got the mutex within 5 s.
    bool Held() const { return gotMutex_; }

private:
    volatile bool gotMutex_ = false;
    qel::UniqueHandle release_;
    qel::UniqueHandle ready_;
    std::thread thread_;
};

} // namespace qeltest
