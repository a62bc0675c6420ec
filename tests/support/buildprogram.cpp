#include "buildprogram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace BuildProgram {

QStringList emulator()
{
    // The emulator, then its arguments, separated by blanks (support/buildprogram.cmake).
    return QStringLiteral(VORTANIX_TEST_EMULATOR).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool emulated()
{
    return !emulator().isEmpty();
}

bool rs485RequestUnsupported()
{
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0)
        return false;
    struct serial_rs485 settings = {};
    const bool unsupported = ::ioctl(terminal, TIOCGRS485, &settings) != 0 && errno == ENOSYS;
    ::close(terminal);
    return unsupported;
}

QStringList commandLine(const QString &program, const QStringList &arguments)
{
    return emulator() + QStringList{program} + arguments;
}

QStringList commandLineForAnyUser(const QString &folder, const QString &program, const QStringList &arguments)
{
    const QFileDevice::Permissions everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!QFile::setPermissions(folder, everyone))
        return {};
    auto copied = [&folder, everyone](const QString &file) {
        const QString copy = QDir(folder).filePath(QFileInfo(file).fileName());
        if (!QFile::exists(copy) && !QFile::copy(file, copy))
            return QString();
        return QFile::setPermissions(copy, everyone) ? copy : QString();
    };
    QStringList command;
    const QString preload = QStringLiteral("LD_PRELOAD=");
    for (QString word : emulator()) {
        if (word.startsWith(preload)) {
            const QString library = copied(word.mid(preload.size()));
            if (library.isEmpty())
                return {};
            word = preload + library;
        }
        command << word;
    }
    const QString copy = copied(program);
    if (copy.isEmpty())
        return {};
    return command + QStringList{copy} + arguments;
}

void start(QProcess &process, const QString &program, const QStringList &arguments)
{
    QStringList command = commandLine(program, arguments);
    const QString first = command.takeFirst();
    process.start(first, command);
}

} // namespace BuildProgram
