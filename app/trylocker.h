#ifndef TRYLOCKER_H
#define TRYLOCKER_H

#include <QMutex>

// Holds the link's mutex for one exchange: tries it for at most `waitMs`
// (never a plain lock: a slot run again inside a message box's event loop
// must fail, not lock against itself) and releases it when the exchange's
// scope ends, on every path that took it.
class TryLocker
{
public:
    TryLocker(QMutex &mutex, int waitMs);
    ~TryLocker();
    TryLocker(const TryLocker &) = delete;
    TryLocker &operator=(const TryLocker &) = delete;

    bool isLocked() const { return locked; }

private:
    QMutex &mutex;
    bool locked;
};

#endif // TRYLOCKER_H
