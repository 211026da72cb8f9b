#include "mutex_holder.h"

#include <string>

namespace qeltest {

ForeignMutexHolder::ForeignMutexHolder(const char* name)
{
    release_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ready_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::string mutexName = name;
    thread_ = std::thread([this, mutexName] {
        qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, mutexName.c_str()));
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
