#include "mutex_holder.h"

#include <string>

#include "object_security.h"

namespace qeltest {

ForeignMutexHolder::ForeignMutexHolder(const char* name)
{
    release_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ready_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::string mutexName = name;
    thread_ = std::thread([this, mutexName] {
        // Made (or opened) the way a supervisor does it.
        qel::UniqueHandle mutex(qel::OpenGuardedMutex(mutexName.c_str()));
        DWORD waited = mutex ? WaitForSingleObject(mutex.get(), 5000) : WAIT_FAILED;
        gotMutex_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        SetEvent(ready_.get());
        WaitForSingleObject(release_.get(), 60000);
        if (gotMutex_)
            ReleaseMutex(mutex.get());
    });
    WaitForSingleObject(ready_.get(), 10000);
}

ForeignMutexHolder::~ForeignMutexHolder()
{
    SetEvent(release_.get());
    thread_.join();
}

} // namespace qeltest
