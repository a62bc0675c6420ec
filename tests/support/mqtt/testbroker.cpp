#include "testbroker.h"

#include "loopback.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

#include <unistd.h>

namespace {

constexpr int startTimeoutMs = 20000;

bool acceptsConnections(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(2000);
}

} // namespace

TestBroker::TestBroker(const QString &folder) : folder(folder), logPath(folder + QStringLiteral("/mosquitto.log"))
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logPath, QIODevice::Append);
}

QString TestBroker::output() const
{
    QFile file(logPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestBroker::waitForLog(const QString &text, int from, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (output().indexOf(text, from) < 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20); // a file has nothing to wait on
    }
    return true;
}

TestBroker::~TestBroker()
{
    stop();
}

bool TestBroker::start(const Options &options)
{
    // A port found free may be taken before the broker binds it: then another.
    const bool fixedPort = listenPort != 0;
    for (int attempt = 0; attempt < (fixedPort ? 1 : 5); ++attempt) {
        if (!fixedPort)
            listenPort = freeLoopbackPort();
        if (launch(options))
            return true;
    }
    return false;
}

bool TestBroker::launch(const Options &options)
{
    const QString configPath = folder + QStringLiteral("/mosquitto.conf");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QString text = QStringLiteral("listener %1 127.0.0.1\n").arg(listenPort);
    if (!options.caFile.isEmpty()) {
        text += QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\n")
                    .arg(options.caFile, options.certFile, options.keyFile);
    }
    text += options.passwordFile.isEmpty()
        ? QStringLiteral("allow_anonymous true\n")
        : QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(options.passwordFile);
    text += QStringLiteral("persistence false\nlog_dest stderr\n");
    // Without the packets: errors, warnings, notices ("running") and connections.
    text += options.packetLog
        ? QStringLiteral("log_type all\n")
        : QStringLiteral("log_type error\nlog_type warning\nlog_type notice\nlog_type information\n");
    // As root, mosquitto would become the user mosquitto: that would lose
    // the death signal and the right to read the test's key files.
    if (::geteuid() == 0)
        text += QStringLiteral("user root\n");
    text += options.more;
    config.write(text.toUtf8());
    config.close();

    const int from = output().size();
    process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), configPath});
    if (!process.waitForStarted(startTimeoutMs))
        return false;
    // The broker says "mosquitto version ... running" once it listens, or ends.
    const QDeadlineTimer deadline(startTimeoutMs);
    while (output().indexOf(QLatin1String(" running"), from) < 0 && !deadline.hasExpired()
        && !process.waitForFinished(20)) { }
    if (process.state() == QProcess::Running && acceptsConnections(listenPort))
        return true;
    stop();
    return false;
}

void TestBroker::kill()
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(10000);
}

void TestBroker::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(10000))
        kill();
}

bool TestBroker::makePasswordFile(const QString &path, const QString &user, const QString &password)
{
    QProcess passwd;
    passwd.start(
        QStringLiteral("mosquitto_passwd"), {QStringLiteral("-b"), QStringLiteral("-c"), path, user, password});
    return passwd.waitForFinished(20000) && passwd.exitStatus() == QProcess::NormalExit && passwd.exitCode() == 0;
}
