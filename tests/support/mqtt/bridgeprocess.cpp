#include "bridgeprocess.h"

#include "buildprogram.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>

BridgeProcess::BridgeProcess(const QString &folder) : folder(folder)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
}

BridgeProcess::~BridgeProcess()
{
    if (process.state() != QProcess::NotRunning)
        kill();
}

QString BridgeProcess::program()
{
    return QStringLiteral(VORTANIX_BRIDGE_PATH);
}

QString BridgeProcess::sampleConfig()
{
    return QStringLiteral(VORTANIX_SAMPLE_CONFIG);
}

QString BridgeProcess::writeConfig(const QString &text)
{
    const QString path = folder + QStringLiteral("/bridge.ini");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
    return path;
}

bool BridgeProcess::start(const QStringList &arguments)
{
    collected.clear();
    BuildProgram::start(process, program(),
        QStringList{QStringLiteral("--config"), folder + QStringLiteral("/bridge.ini")} + arguments);
    return process.waitForStarted(20000);
}

QString BridgeProcess::log()
{
    // What the pipe holds reaches QProcess only when it is asked to look.
    while (process.state() == QProcess::Running && process.waitForReadyRead(0)) { }
    collected += QString::fromUtf8(process.readAll());
    return collected;
}

bool BridgeProcess::waitForLog(const QString &text, int timeoutMs, int from)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (log().indexOf(text, from) < 0) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return log().indexOf(text, from) >= 0;
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return true;
}

int BridgeProcess::gatewayPort(int timeoutMs)
{
    return listenPort(QStringLiteral("Modbus TCP gateway listening on "), timeoutMs);
}

int BridgeProcess::metricsPort(int timeoutMs)
{
    return listenPort(QStringLiteral("metrics at http://"), timeoutMs);
}

int BridgeProcess::listenPort(const QString &marker, int timeoutMs)
{
    // ADDRESS:PORT after the marker, the port whole (a line may come in parts).
    const QRegularExpression pattern(QRegularExpression::escape(marker) + QStringLiteral("\\S*:([0-9]+)[^0-9]"));
    const QDeadlineTimer deadline(timeoutMs);
    QRegularExpressionMatch match;
    while (!(match = pattern.match(log())).hasMatch()) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return 0;
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return match.captured(1).toInt();
}

int BridgeProcess::waitForExit(int timeoutMs)
{
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs))
        return -1;
    log();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int BridgeProcess::terminate(int timeoutMs)
{
    if (process.state() == QProcess::NotRunning)
        return -1;
    ::kill(pid_t(process.processId()), SIGTERM);
    return waitForExit(timeoutMs);
}

void BridgeProcess::kill()
{
    if (process.state() == QProcess::NotRunning)
        return; // a process id of 0 would be this whole process group
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(10000);
    log();
}
