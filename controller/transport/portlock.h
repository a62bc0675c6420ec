#ifndef PORTLOCK_H
#define PORTLOCK_H

#include <QString>

// One serial device, one holder among this system's programs, whatever name
// each was given for it (/dev/ttyUSB0, a /dev/serial/by-id link, any other
// symbolic link). The open descriptor itself is exclusive (TIOCEXCL), but
// root opens a terminal despite that; so the device is also held by an
// advisory lock on a file named by its device number in /run/lock, which
// every program of ours takes, root or not, and which tells the holder's PID.
// The lock goes with the process: a program that dies leaves no stale hold.
class PortLock
{
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // What names the device behind `path`: "char 136:5" for a character
    // device, else the canonical path of what exists, else the path made
    // absolute. Two names of one device give one key.
    static QString deviceKey(const QString &path);

    // Holds the device `path` names. False when another program holds it
    // (holder() tells who); true also when there is nothing to hold (not a
    // character device: opening it will tell) or no lock file can be made
    // (the exclusive descriptor still guards it). A lock held before is let go.
    bool acquire(const QString &path);
    void release();
    // True when the lock is held for the device `path` names now.
    bool holds(const QString &path) const;

    // Who holds the device after a failed acquire(): "PID 1234 (vortanix-bridge)",
    // or empty when the holder did not say.
    QString holder() const { return holderText; }
    // The lock file of a device key, in the folder all our programs use.
    static QString lockFilePath(const QString &key);

private:
    int fd = -1;
    QString heldKey;
    QString heldFile;
    QString holderText;
};

#endif // PORTLOCK_H
