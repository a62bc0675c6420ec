#include "trylocker.h"

TryLocker::TryLocker(QMutex &mutex, int waitMs) : mutex(mutex), locked(mutex.tryLock(waitMs)) { }

TryLocker::~TryLocker()
{
    if (locked)
        mutex.unlock();
}
