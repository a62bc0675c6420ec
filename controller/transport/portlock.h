#ifndef PORTLOCK_H
#define PORTLOCK_H

#include <QString>

// One serial device, one holder: among this system's programs, and with the
// serial programs of Debian (minicom, cu, the lockdev users). The holder of a
// device keeps the lock file those programs share, /run/lock/LCK..<name>,
// where <name> is the device the path resolves to (a /dev/serial/by-id link
// and /dev/ttyUSB0 both give LCK..ttyUSB0; /dev/pts/3 gives LCK..pts_3), with
// its PID in ASCII ("%10d\n"). A file whose PID is a running process is a
// live lock, whatever program wrote it; one that names none (empty, garbage,
// a PID that has ended) is stale and is taken over.
//
// Our programs also hold the file by an advisory lock (flock) while they use
// the device: that decides between two of them that take a stale file at the
// same moment, keeps a Qt program's lock file code from removing ours, and
// goes with the process (a program that dies holds nothing, its PID names no
// one). The open descriptor is exclusive too (TIOCEXCL), but root opens a
// terminal despite that.
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
    // The lock file of the device `path` leads to (/run/lock/LCK..ttyUSB0);
    // empty when it leads to no character device.
    static QString lockFilePath(const QString &path);

    // Holds the device `path` names. False when another program holds it, or
    // a stale lock file cannot be taken over (refusal() says which file and
    // why); true also when there is nothing to hold (not a character device:
    // opening it will tell) or no lock file can be made (a read-only lock
    // folder: the exclusive descriptor still guards it). A lock held before
    // is let go.
    bool acquire(const QString &path);
    void release();
    // True when the lock is held for the device `path` names now.
    bool holds(const QString &path) const;

    // Why acquire() failed, to follow "<port>: ": "in use by PID 1234
    // (minicom) according to /run/lock/LCK..ttyUSB0", ...
    QString refusal() const { return refusalText; }

    // The name to open the device by while it is held. The serial library
    // keeps a lock file of its own named after the name it is given, and
    // takes a file without its program's name in it (ours, minicom's) for
    // stale: so the device's own path is given with a second leading slash,
    // whose lock file (LCK..__dev_ttyUSB0) is no other program's. Another
    // name (a /dev/serial/by-id link) is given as it is: its lock file keeps
    // out a program of that library that opens the device by the same name.
    // `path` itself when nothing is held.
    QString openName(const QString &path) const;
    // The serial library's lock file for openName() (empty while nothing is
    // held): when opening the held device is refused and this file is
    // there, it stands in the way.
    QString libraryLockFile() const;

private:
    int fd = -1;
    QString heldDevice; // the device's own path, as the lock names it
    QString heldFile;
    QString refusalText;
};

#endif // PORTLOCK_H
