#include "portlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The first of these that exists holds the lock files: the same folder for
// every user, so that root's programs and a user's meet at one file.
const char *const lockFolders[] = {"/run/lock", "/var/lock", "/tmp"};

QString lockFolder()
{
    for (const char *folder : lockFolders) {
        if (QFileInfo(QString::fromLatin1(folder)).isDir())
            return QString::fromLatin1(folder);
    }
    return QDir::tempPath();
}

// Opens the lock file without O_CREAT where it exists: in a sticky folder
// (fs.protected_regular) creating over another user's file is refused.
int openLockFile(const QByteArray &name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == EACCES)
            fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); // another user's: locking needs no write
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666); // whoever holds the device next may write their PID
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// True when `fd` is still the file at `name`: a holder that let go may have
// removed it between our open and our lock.
bool isCurrent(int fd, const QByteArray &name)
{
    struct stat opened
    {
    };
    struct stat named
    {
    };
    return ::fstat(fd, &opened) == 0 && ::stat(name.constData(), &named) == 0 && opened.st_dev == named.st_dev
        && opened.st_ino == named.st_ino;
}

QString holderOf(int fd)
{
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got <= 0)
        return QString();
    bool ok = false;
    const qint64 pid = QByteArray(text, int(got)).trimmed().toLongLong(&ok);
    // A PID left by an earlier holder that could not rewrite the file names no one now.
    if (!ok || pid <= 0 || !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)))
        return QString();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString program = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll().trimmed()) : QString();
    return program.isEmpty() ? QStringLiteral("PID %1").arg(pid) : QStringLiteral("PID %1 (%2)").arg(pid).arg(program);
}

} // namespace

PortLock::~PortLock()
{
    release();
}

QString PortLock::deviceKey(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode))
        return QStringLiteral("char %1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
    const QFileInfo file(path);
    return file.exists() ? file.canonicalFilePath() : QDir::cleanPath(file.absoluteFilePath());
}

QString PortLock::lockFilePath(const QString &key)
{
    QString name = key;
    name.replace(QLatin1Char(' '), QLatin1Char('.')).replace(QLatin1Char(':'), QLatin1Char('.'));
    return lockFolder() + QStringLiteral("/vortanix-%1.lock").arg(name);
}

bool PortLock::holds(const QString &path) const
{
    return fd >= 0 && deviceKey(path) == heldKey;
}

bool PortLock::acquire(const QString &path)
{
    release();
    holderText.clear();
    const QString key = deviceKey(path);
    if (!key.startsWith(QLatin1String("char ")))
        return true;
    const QString file = lockFilePath(key);
    const QByteArray name = QFile::encodeName(file);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int candidate = openLockFile(name);
        if (candidate < 0)
            return true; // no lock file to be had: the exclusive descriptor is the guard
        if (::flock(candidate, LOCK_EX | LOCK_NB) != 0) {
            holderText = holderOf(candidate);
            ::close(candidate);
            return false;
        }
        if (!isCurrent(candidate, name)) {
            ::close(candidate);
            continue;
        }
        fd = candidate;
        heldKey = key;
        heldFile = file;
        const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
            // A read-only lock file (another user's): the hold stands, its PID stays unknown.
        }
        return true;
    }
    return true;
}

void PortLock::release()
{
    if (fd < 0)
        return;
    // Removed while still held, so that no one locks a file on its way out;
    // in a sticky folder another user's file stays, and is used again.
    ::unlink(QFile::encodeName(heldFile).constData());
    ::close(fd);
    fd = -1;
    heldKey.clear();
    heldFile.clear();
}
