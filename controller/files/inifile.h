#ifndef INIFILE_H
#define INIFILE_H

#include <QByteArray>
#include <QString>

class QLockFile;

// How every program reads an INI file of its own (the panel's configuration
// files, the ones vortanix-ctl sends, the bridge's configuration): a regular
// file of at most MaxBytes, read while QSettings' lock of it is held so that
// a writer is waited for. The text itself is IniReader's affair.
class IniFile
{
public:
    // Larger files are refused unread: a controller's configuration is well
    // under 1 KiB, a plant's bridge configuration a few.
    static constexpr qint64 MaxBytes = 256 * 1024;
    // QSettings waits for ever for a lock it cannot take (another user's
    // stale lock in a sticky folder, a directory of that name): the lock is
    // taken here first, for at most this long.
    static constexpr int LockWaitMs = 2000;

    enum Result {
        Ok,
        Missing, // no such file, or not a regular file
        Unreadable, // cannot be opened for reading
        TooLarge, // over MaxBytes
        Locked, // its lock was not free within LockWaitMs
    };

    enum class LockState {
        Free, // taken: `lock` holds it
        Held, // another program holds it
        NoLockHere, // none can be made next to the file (a missing or read-only folder): no writer holds one either
    };

    // Waits up to LockWaitMs for the lock QSettings uses for `path` (`lock`
    // is made on "<path>.lock").
    static LockState waitForLock(const QString &path, QLockFile &lock);
    // The file's bytes, read while `lock` is held (the caller keeps it for as
    // long as it reads the file by other means too).
    static Result read(const QString &path, QLockFile &lock, QByteArray *bytes);
    // What is wrong with the file at `path`, a sentence that starts with the
    // path and says what to do; empty for Ok.
    static QString problem(Result result, const QString &path);
};

#endif // INIFILE_H
