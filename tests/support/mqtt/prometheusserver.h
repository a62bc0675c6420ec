#ifndef PROMETHEUSSERVER_H
#define PROMETHEUSSERVER_H

#include "childprocess.h"

#include <QJsonObject>
#include <QString>

#include <functional>

// Debian's Prometheus server for a test: its configuration and storage in the
// test's folder, listening on a free loopback port, scraping its targets and
// evaluating its rules every second. Queries go through its HTTP API, as
// Grafana's would.
class PrometheusServer
{
public:
    static constexpr int WaitMs = 60000; // a loaded machine starts it slowly

    explicit PrometheusServer(const QString &folder);
    ~PrometheusServer();
    PrometheusServer(const PrometheusServer &) = delete;
    PrometheusServer &operator=(const PrometheusServer &) = delete;

    // Starts scraping http://127.0.0.1:<targetPort>/metrics as job vortanix,
    // with `more` of the configuration (rule_files...); true once the server is ready.
    bool start(int targetPort, const QString &more = QString());
    // The same with the configuration's scrape_configs, rule_files... (YAML) given.
    bool start(const QString &configuration);
    QString log() const;

    // Waits until the instant query `query` gives one series whose value
    // `match` accepts; that value in `value`.
    bool waitForValue(const QString &query, const std::function<bool(double)> &match, double *value = nullptr);
    // The JSON answer of the HTTP API at `path` ("/api/v1/rules"); empty when none came.
    QJsonObject api(const QByteArray &path) const;
    // The answer to the instant query `query`: status, data.result or error.
    QJsonObject query(const QString &query) const;

    // `promtool check metrics` on a scrape: its complaints, or "" when it has none.
    static QString lint(const QByteArray &scrape);

private:
    QString folder;
    ChildProcess process;
    int port = 0;
};

#endif // PROMETHEUSSERVER_H
