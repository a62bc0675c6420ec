#include "buildprogram.h"

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

void start(QProcess &process, const QString &program, const QStringList &arguments)
{
    QStringList command = commandLine(program, arguments);
    const QString first = command.takeFirst();
    process.start(first, command);
}

} // namespace BuildProgram
