#include "portlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The first of these that exists holds the lock files: the same folder for
// every user and every serial program (/var/lock leads to /run/lock).
const char *const lockFolders[] = {"/run/lock", "/var/lock", "/tmp"};
// How often a file that changes hands under our feet is looked at again.
constexpr int attempts = 5;
// Never through a link planted where a lock file belongs; O_NONBLOCK: a
// FIFO planted there must not hang the open.
constexpr int openFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

QString lockFolder()
{
    for (const char *folder : lockFolders) {
        if (QFileInfo(QString::fromLatin1(folder)).isDir())
            return QString::fromLatin1(folder);
    }
    return QDir::tempPath();
}

// The device's own path when `path` leads to a character device, else empty.
QString devicePath(const QString &path)
{
    const QString device = QFileInfo(path).canonicalFilePath();
    struct stat info
    {
    };
    if (device.isEmpty() || ::stat(QFile::encodeName(device).constData(), &info) != 0 || !S_ISCHR(info.st_mode))
        return QString();
    return device;
}

// The lock file the serial programs give a device: its path below /dev with
// '/' as '_' (pts/3: LCK..pts_3); outside /dev its file name, as minicom does.
QString lockFileOf(const QString &device)
{
    const QString name = device.startsWith(QLatin1String("/dev/"))
        ? device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'))
        : QFileInfo(device).fileName();
    return lockFolder() + QStringLiteral("/LCK..") + name;
}

// The PID a lock file names: in ASCII ("%10d\n", perhaps followed by the
// program's and the user's names, or a Qt program's further lines), or as
// the 4 bytes of the old binary form; 0 when it names none.
pid_t pidIn(int fd)
{
    char text[64];
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    if (got <= 0)
        return 0;
    const QByteArray bytes(text, int(got));
    int first = 0;
    while (first < bytes.size() && bytes.at(first) == ' ')
        ++first;
    int end = first;
    while (end < bytes.size() && end - first <= 10 && bytes.at(end) >= '0' && bytes.at(end) <= '9')
        ++end;
    if (end > first && (end == bytes.size() || QByteArrayLiteral(" \t\r\n").contains(bytes.at(end)))) {
        const qint64 pid = bytes.mid(first, end - first).toLongLong();
        return pid <= std::numeric_limits<pid_t>::max() ? pid_t(pid) : 0;
    }
    if (got == 4) {
        qint32 binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 ? pid_t(binary) : 0;
    }
    return 0;
}

// A process of any user (another's answers EPERM).
bool running(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

QString processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString program = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll().trimmed()) : QString();
    return program.isEmpty() ? QStringLiteral("PID %1").arg(pid) : QStringLiteral("PID %1 (%2)").arg(pid).arg(program);
}

// True when `fd` is still the file at `name`: a holder that let go (or a
// program that judged it stale) may have removed it meanwhile.
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

// A lock file that is there already: for writing where this user may, else
// for reading (another user's, in the sticky lock folder: locking needs no write).
int openExisting(const QByteArray &name, bool *writable)
{
    int fd = ::open(name.constData(), O_RDWR | openFlags);
    *writable = fd >= 0;
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EISDIR))
        fd = ::open(name.constData(), O_RDONLY | openFlags);
    return fd;
}

bool isPlainFile(int fd)
{
    struct stat info
    {
    };
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

QString busy(const QString &file, const QString &device, pid_t pid)
{
    if (pid > 0)
        return QStringLiteral("in use by %1 according to %2; one program at a time may use a port, whatever name "
                              "it is given")
            .arg(processName(pid), file);
    return QStringLiteral("in use by another program, which holds %1 (find it with: fuser -v %2)").arg(file, device);
}

// A lock file that names no one, or is none, and that this user may not take.
QString stuck(const QString &file, const QString &what)
{
    return QStringLiteral("the lock file %1 %2, but this user cannot take it over; if no program uses the port, "
                          "remove it: sudo rm %1")
        .arg(file, what);
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

QString PortLock::lockFilePath(const QString &path)
{
    const QString device = devicePath(path);
    return device.isEmpty() ? QString() : lockFileOf(device);
}

bool PortLock::holds(const QString &path) const
{
    return fd >= 0 && devicePath(path) == heldDevice;
}

QString PortLock::openName(const QString &path) const
{
    const bool ownName = QDir::cleanPath(QFileInfo(path).absoluteFilePath()) == heldDevice;
    return fd >= 0 && (path.isEmpty() || ownName) ? QLatin1Char('/') + heldDevice : path;
}

QString PortLock::libraryLockFile() const
{
    if (fd < 0)
        return QString();
    return lockFolder() + QStringLiteral("/LCK..") + openName(QString()).replace(QLatin1Char('/'), QLatin1Char('_'));
}

bool PortLock::acquire(const QString &path)
{
    release();
    refusalText.clear();
    const QString device = devicePath(path);
    if (device.isEmpty())
        return true;
    const QString file = lockFileOf(device);
    const QByteArray name = QFile::encodeName(file);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        bool writable = true;
        int candidate = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | openFlags, 0644);
        const bool created = candidate >= 0;
        if (!created && errno != EEXIST)
            return true; // no lock file to be had (a read-only folder): the exclusive descriptor is the guard
        if (!created)
            candidate = openExisting(name, &writable);
        if (candidate < 0 && errno == ENOENT)
            continue; // let go of meanwhile
        if (candidate < 0 || !isPlainFile(candidate)) {
            const QString why = candidate < 0
                ? QStringLiteral("cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)))
                : QStringLiteral("is no plain file");
            if (candidate >= 0)
                ::close(candidate);
            refusalText = stuck(file, why);
            return false;
        }
        if (::flock(candidate, LOCK_EX | LOCK_NB) != 0) {
            const pid_t pid = pidIn(candidate);
            ::close(candidate);
            if (created)
                continue; // taken for stale by another before our PID was in it: look again
            refusalText = busy(file, device, running(pid) ? pid : 0);
            return false;
        }
        if (!isCurrent(candidate, name)) {
            ::close(candidate);
            continue;
        }
        const pid_t pid = created ? 0 : pidIn(candidate);
        if (running(pid)) {
            ::close(candidate);
            refusalText = busy(file, device, pid);
            return false;
        }
        if (!writable) {
            // Stale, and not this user's to rewrite: removed where this user
            // may (in the sticky lock folder, only its owner may).
            const bool removed = ::unlink(name.constData()) == 0;
            ::close(candidate);
            if (removed)
                continue;
            refusalText = stuck(file,
                pid > 0 ? QStringLiteral("names PID %1, which has ended").arg(pid)
                        : QStringLiteral("names no process"));
            return false;
        }
        // Ours: our PID is the whole file, whatever longer text it held.
        const QByteArray text = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
        if (::ftruncate(candidate, 0) != 0
            || ::pwrite(candidate, text.constData(), size_t(text.size()), 0) != text.size()) {
            if (created)
                ::unlink(name.constData());
            ::close(candidate);
            return true; // no lock file to be had (a full folder): the exclusive descriptor is the guard
        }
        if (!isCurrent(candidate, name)) {
            ::close(candidate); // removed by a program that took it for stale while it was empty
            continue;
        }
        fd = candidate;
        heldDevice = device;
        heldFile = file;
        // The serial library's own file for openName() is no one's while we
        // hold the device: one left by a run that died would stand in the way.
        ::unlink(QFile::encodeName(libraryLockFile()).constData());
        return true;
    }
    refusalText = busy(file, device, 0);
    return false;
}

void PortLock::release()
{
    if (fd < 0)
        return;
    // Removed while still held, so that no one takes a file on its way out;
    // one that cannot be removed (another user's, in the sticky lock folder)
    // is emptied: it names no one.
    const QByteArray name = QFile::encodeName(heldFile);
    if (!isCurrent(fd, name) || ::unlink(name.constData()) != 0) {
        if (::ftruncate(fd, 0) != 0) {
            // A file we could write a moment ago: nothing more to do.
        }
    }
    ::close(fd);
    fd = -1;
    heldDevice.clear();
    heldFile.clear();
}
