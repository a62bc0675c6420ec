#include "ctlrig.h"

#include "buildprogram.h"
#include "masterport.h"
#include "modbusframes.h"
#include "registers.h"

#include <QDeadlineTimer>

namespace {

// An address no controller of the tests has.
constexpr quint8 markerAddress = 250;

} // namespace

QStringList CtlResult::outLines() const
{
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString CtlResult::describe() const
{
    return QStringLiteral("vortanix-ctl %1: %2exit %3; stdout: %4; stderr: %5")
        .arg(arguments.join(QLatin1Char(' ')), finished ? QString() : QStringLiteral("did not finish; "))
        .arg(exitCode)
        .arg(out.trimmed(), err.trimmed());
}

QString CtlResult::mismatch(int expectedExit, const QString &errText) const
{
    if (finished && exitCode == expectedExit && err.contains(errText))
        return QString();
    return QStringLiteral("expected exit %1 and \"%2\" on stderr; %3").arg(expectedExit).arg(errText, describe());
}

QStringList CtlRig::withReplyWait(const QStringList &arguments)
{
    return QStringList{QStringLiteral("--timeout"), QStringLiteral("3000")} + arguments;
}

QString CtlRig::program()
{
    return QStringLiteral(VORTANIX_CTL_PATH);
}

CtlResult CtlRig::runProgram(const QStringList &arguments, int waitMs, const QString &outputFile)
{
    QProcess process;
    if (!outputFile.isEmpty())
        process.setStandardOutputFile(outputFile, QIODevice::Append);
    BuildProgram::start(process, program(), arguments);
    CtlResult result;
    result.arguments = arguments;
    result.finished = process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = result.finished ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

CtlRig::CtlRig() = default;

CtlRig::~CtlRig()
{
    line.stop();
}

bool CtlRig::start(const QList<quint8> &addresses)
{
    for (quint8 address : addresses)
        controllers << line.addController(address);
    startAddresses = addresses;
    return dir.isValid() && line.start(dir.filePath(QStringLiteral("ttyVIRT0")));
}

SimController CtlRig::at(quint8 address) const
{
    const int index = startAddresses.indexOf(address);
    if (index < 0)
        qFatal("no controller was put on the line at address %d", address);
    return controllers.at(index);
}

CtlResult CtlRig::run(const QStringList &arguments, int waitMs) const
{
    return runProgram(QStringList{QStringLiteral("--port"), portPath()} + arguments, waitMs);
}

CtlResult CtlRig::runInto(const QString &outputFile, const QStringList &arguments) const
{
    return runProgram(QStringList{QStringLiteral("--port"), portPath()} + arguments, 120000, outputFile);
}

void CtlRig::start(QProcess &process, const QStringList &arguments) const
{
    BuildProgram::start(process, program(), QStringList{QStringLiteral("--port"), portPath()} + arguments);
}

QList<QByteArray> CtlRig::settledFrames() const
{
    const SimController listener = controllers.first(); // every controller hears every request
    const QByteArray marker = readRequest(markerAddress, StatusBlockFirst, 1);
    MasterPort port(portPath(), line.baud());
    if (!port.isOpen() || !port.send(marker))
        return {};
    QDeadlineTimer deadline(10000);
    QList<QByteArray> frames;
    while (!deadline.hasExpired()) {
        frames = framesOf(listener.requests());
        if (!frames.isEmpty() && frames.last() == marker) {
            frames.removeLast();
            return frames;
        }
        listener.waitForRequests(frames.size() + 1, 100);
    }
    frames << QByteArray("the marker request never arrived");
    return frames;
}

void CtlRig::clearRequests()
{
    for (SimController &controller : controllers)
        controller.clearRequests();
}
