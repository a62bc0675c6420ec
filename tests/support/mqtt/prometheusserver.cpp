#include "prometheusserver.h"

#include "httpclient.h"
#include "loopback.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUrl>

PrometheusServer::PrometheusServer(const QString &folder) : folder(folder)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(folder + QStringLiteral("/prometheus.log"), QIODevice::Append);
}

PrometheusServer::~PrometheusServer()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(20000))
            process.kill();
        process.waitForFinished(5000);
    }
}

QString PrometheusServer::log() const
{
    QFile file(folder + QStringLiteral("/prometheus.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool PrometheusServer::start(int targetPort, const QString &more)
{
    return start(QStringLiteral("scrape_configs:\n  - job_name: vortanix\n    static_configs:\n"
                                "      - targets: ['127.0.0.1:%1']\n")
                     .arg(targetPort)
        + more);
}

bool PrometheusServer::start(const QString &configuration)
{
    const QString config = folder + QStringLiteral("/prometheus.yml");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n" + configuration.toUtf8());
    file.close();
    // A port found free may be taken before Prometheus binds it: then another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = freeLoopbackPort();
        process.start(QStringLiteral("prometheus"),
            {QStringLiteral("--config.file=") + config, QStringLiteral("--storage.tsdb.path=") + folder + "/tsdb",
                QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port), QStringLiteral("--log.level=warn")});
        if (!process.waitForStarted(WaitMs))
            return false;
        const QDeadlineTimer deadline(WaitMs);
        while (process.state() == QProcess::Running && !deadline.hasExpired()) {
            if (HttpClient::get(quint16(port), "/-/ready").status == 200)
                return true;
            QThread::msleep(100); // nothing to wait on: Prometheus tells readiness only when asked
        }
        if (process.state() == QProcess::Running)
            return false;
    }
    return false;
}

bool PrometheusServer::waitForValue(const QString &query, const std::function<bool(double)> &match, double *value)
{
    const QDeadlineTimer deadline(WaitMs);
    while (!deadline.hasExpired()) {
        const QJsonObject answer = this->query(query);
        const QJsonArray result
            = answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray();
        if (result.size() == 1) {
            const double found
                = result.at(0).toObject().value(QStringLiteral("value")).toArray().at(1).toString().toDouble();
            if (match(found)) {
                if (value)
                    *value = found;
                return true;
            }
        }
        QThread::msleep(200); // the next scrape is a second away
    }
    return false;
}

QJsonObject PrometheusServer::api(const QByteArray &path) const
{
    return QJsonDocument::fromJson(HttpClient::get(quint16(port), path).body).object();
}

QJsonObject PrometheusServer::query(const QString &query) const
{
    return api("/api/v1/query?query=" + QUrl::toPercentEncoding(query));
}

QString PrometheusServer::lint(const QByteArray &scrape)
{
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!promtool.waitForStarted(WaitMs))
        return QStringLiteral("promtool did not start");
    promtool.write(scrape);
    promtool.closeWriteChannel();
    if (!promtool.waitForFinished(WaitMs))
        return QStringLiteral("promtool did not end");
    const QString output = QString::fromUtf8(promtool.readAll());
    if (promtool.exitCode() != 0 || !output.trimmed().isEmpty())
        return QStringLiteral("exit %1: %2").arg(promtool.exitCode()).arg(output);
    return QString();
}
