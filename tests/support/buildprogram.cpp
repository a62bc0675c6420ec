#include "buildprogram.h"

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
