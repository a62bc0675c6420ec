#include "inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

IniFile::LockState IniFile::waitForLock(const QString &path, QLockFile &lock)
{
    if (!QFileInfo(path).dir().exists())
        return LockState::NoLockHere;
    if (lock.tryLock(LockWaitMs))
        return LockState::Free;
    return lock.error() == QLockFile::LockFailedError ? LockState::Held : LockState::NoLockHere;
}

IniFile::Result IniFile::read(const QString &path, QLockFile &lock, QByteArray *bytes)
{
    // QSettings reads a missing or unreadable file as an empty one, so the
    // file itself is checked first; a large one is refused before anything of it is read.
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return Missing;
    if (info.size() > MaxBytes)
        return TooLarge;
    if (waitForLock(path, lock) == LockState::Held)
        return Locked;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Unreadable;
    *bytes = file.read(MaxBytes + 1);
    if (bytes->size() > MaxBytes)
        return TooLarge; // grew since it was looked at
    return Ok;
}

QString IniFile::problem(Result result, const QString &path)
{
    switch (result) {
    case Ok:
        break;
    case Missing:
        return QStringLiteral("%1: no such file (or not a regular file)").arg(path);
    case Unreadable:
        return QStringLiteral("%1: cannot be opened for reading (may this user read it?)").arg(path);
    case TooLarge:
        return QStringLiteral("%1: larger than %2 KiB, not a configuration file").arg(path).arg(MaxBytes / 1024);
    case Locked:
        return QStringLiteral("%1: locked: another program holds %1.lock (the panel saving it?); try again when it "
                              "is done, or remove a stale %1.lock")
            .arg(path);
    }
    return QString();
}
