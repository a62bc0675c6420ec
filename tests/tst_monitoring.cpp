// The monitoring pack (packaging/monitoring) against the real thing: promtool
// checks the rules and runs their unit tests; a real Prometheus loads the
// rules and scrapes a bridge with virtual controllers, and every query of the
// rules (as Prometheus read them), of the Grafana dashboard (read from its
// JSON) and of the plant guide's examples runs there. Every metric selector in a query must find series, so a
// renamed metric or label fails; every query must evaluate; the dashboard's
// and the recording rules' queries must give series. Alerts need not: on a
// healthy plant they are false.

#include "bridgerig.h"
#include "prometheusserver.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct Query
{
    QString where; // "alert X", "record Y", "panel "T" A", "variable V", "guide line N"
    QString expr;
    bool needsSeries = true;
    QString label; // a variable's: every series carries it
};

} // namespace

class TestMonitoring : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rulesPassPromtool();
    void selectorsFindSeries_data();
    void selectorsFindSeries();
    void queriesEvaluate_data();
    void queriesEvaluate();

private:
    BridgeRig rig;
    std::unique_ptr<PrometheusServer> prometheus;
    QList<Query> queries;
};

namespace {

const QString monitoring = QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/monitoring/");
const QString rulesFile = monitoring + QStringLiteral("vortanix-rules.yml");

// The dashboard's variables ($instance, ${line}) as "all", Grafana's own as a test's scrape needs them.
QString substituted(QString expr, const QStringList &variables)
{
    QMap<QString, QString> values{{QStringLiteral("__rate_interval"), QStringLiteral("1m")},
        {QStringLiteral("__interval"), QStringLiteral("15s")}, {QStringLiteral("__range"), QStringLiteral("1h")}};
    for (const QString &variable : variables)
        values.insert(variable, QStringLiteral(".*"));
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        expr.replace(QRegularExpression(QStringLiteral("\\$(%1\\b|\\{%1\\})").arg(it.key())), it.value());
    return expr; // an unknown $name stays and does not parse
}

// Every target of every panel, rows' panels too.
void collectPanels(const QJsonArray &panels, const QStringList &variables, QList<Query> *found)
{
    for (const QJsonValue &value : panels) {
        const QJsonObject panel = value.toObject();
        collectPanels(panel.value(QStringLiteral("panels")).toArray(), variables, found);
        for (const QJsonValue &value : panel.value(QStringLiteral("targets")).toArray()) {
            const QJsonObject target = value.toObject();
            found->append({QStringLiteral("panel \"%1\" %2")
                               .arg(panel.value(QStringLiteral("title")).toString(),
                                   target.value(QStringLiteral("refId")).toString()),
                substituted(target.value(QStringLiteral("expr")).toString(), variables), true, QString()});
        }
    }
}

// The metric selectors of a query: a name of ours (or up) and its matchers.
QStringList selectors(const QString &expr)
{
    static const QRegularExpression token(QStringLiteral("\"(?:[^\"\\\\]|\\\\.)*\"|([A-Za-z_:][\\w:]*)(\\{[^}]*\\})?"));
    QStringList found;
    for (auto it = token.globalMatch(expr); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString name = match.captured(1);
        if (name.contains(QLatin1String("vortanix")) || name == QLatin1String("up"))
            found.append(name + match.captured(2));
    }
    return found;
}

} // namespace

void TestMonitoring::initTestCase()
{
    QVERIFY(rig.broker().start());
    rig.addLine(QStringLiteral("a"), {1, 7});
    rig.bridge().writeConfig(rig.mqttSection(QStringLiteral("monitored"))
        + QStringLiteral("[metrics]\nlisten=127.0.0.1:0\n[bridge]\npoll_interval_ms=100\n")
        + rig.lineSection(QStringLiteral("a"), QStringLiteral("1,7")));
    QVERIFY(rig.bridge().start());
    const int port = rig.bridge().metricsPort();
    QVERIFY2(port != 0, qPrintable(rig.bridge().log()));
    prometheus = std::make_unique<PrometheusServer>(rig.folder());
    QVERIFY2(
        prometheus->start(port, QStringLiteral("rule_files: ['%1']\n").arg(rulesFile)), qPrintable(prometheus->log()));

    // The rules as Prometheus loaded them: all of the file's.
    QFile rules(rulesFile);
    QVERIFY(rules.open(QIODevice::ReadOnly));
    const int inFile
        = QString::fromUtf8(rules.readAll())
              .count(QRegularExpression(QStringLiteral("^ *- (alert|record):"), QRegularExpression::MultilineOption));
    for (const QJsonValue &group : prometheus->api("/api/v1/rules")
                                       .value(QStringLiteral("data"))
                                       .toObject()
                                       .value(QStringLiteral("groups"))
                                       .toArray()) {
        for (const QJsonValue &value : group.toObject().value(QStringLiteral("rules")).toArray()) {
            const QJsonObject rule = value.toObject();
            const bool recording = rule.value(QStringLiteral("type")) == QLatin1String("recording");
            queries.append({(recording ? QStringLiteral("record ") : QStringLiteral("alert "))
                    + rule.value(QStringLiteral("name")).toString(),
                rule.value(QStringLiteral("query")).toString(), recording, QString()});
        }
    }
    QCOMPARE(queries.size(), inFile);

    QFile file(monitoring + QStringLiteral("vortanix-dashboard.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonParseError error;
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QStringList variables;
    const QJsonArray templating
        = dashboard.value(QStringLiteral("templating")).toObject().value(QStringLiteral("list")).toArray();
    for (const QJsonValue &value : templating)
        variables.append(value.toObject().value(QStringLiteral("name")).toString());
    for (const char *name : {"instance", "line", "id"})
        QVERIFY2(variables.contains(QLatin1String(name)), name);
    // label_values(<selector>, <label>): the selector's series, which must carry the label.
    static const QRegularExpression labelValues(QStringLiteral("^label_values\\((.+),\\s*(\\w+)\\)$"));
    for (const QJsonValue &value : templating) {
        const QJsonObject variable = value.toObject();
        if (variable.value(QStringLiteral("type")) != QLatin1String("query"))
            continue;
        const QJsonValue query = variable.value(QStringLiteral("query"));
        const QRegularExpressionMatch match = labelValues.match(
            query.isObject() ? query.toObject().value(QStringLiteral("query")).toString() : query.toString());
        QVERIFY2(match.hasMatch(), qPrintable(variable.value(QStringLiteral("name")).toString()));
        queries.append({QStringLiteral("variable ") + variable.value(QStringLiteral("name")).toString(),
            substituted(match.captured(1), variables), true, match.captured(2)});
    }
    const int before = queries.size();
    collectPanels(dashboard.value(QStringLiteral("panels")).toArray(), variables, &queries);
    QVERIFY(queries.size() > before);

    // The plant guide's example queries: ```promql blocks, where an indented line continues the one before.
    QFile guide(QStringLiteral(VORTANIX_SOURCE_DIR "/docs/plant-guide.md"));
    QVERIFY(guide.open(QIODevice::ReadOnly | QIODevice::Text));
    const int guideFrom = queries.size();
    bool promql = false;
    for (int number = 1; !guide.atEnd(); ++number) {
        const QString line = QString::fromUtf8(guide.readLine());
        const QString text = line.trimmed();
        if (text.startsWith(QLatin1String("```")))
            promql = text == QLatin1String("```promql");
        else if (!promql || text.isEmpty() || text.startsWith(QLatin1Char('#')))
            continue;
        else if (line.startsWith(QLatin1Char(' ')) && queries.size() > guideFrom)
            queries.last().expr += QLatin1Char(' ') + text;
        else
            queries.append({QStringLiteral("guide line %1").arg(number), text, false, QString()});
    }
    QVERIFY(queries.size() > guideFrom);

    // Rates need two scrapes: ready once every recording rule has given series.
    for (const Query &query : queries) {
        if (query.where.startsWith(QLatin1String("record ")))
            QVERIFY2(prometheus->waitForValue(
                         QStringLiteral("count(%1)").arg(query.where.mid(7)), [](double count) { return count > 0; }),
                qPrintable(query.where));
    }
}

void TestMonitoring::rulesPassPromtool()
{
    const ChildProcess::Finished check
        = ChildProcess::run(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("rules"), rulesFile});
    QVERIFY2(check.code == 0, qPrintable(check.out));
    const ChildProcess::Finished test = ChildProcess::run(QStringLiteral("promtool"),
        {QStringLiteral("test"), QStringLiteral("rules"),
            QStringLiteral(VORTANIX_SOURCE_DIR "/tests/monitoring/vortanix-rules-test.yml")});
    QVERIFY2(test.code == 0, qPrintable(test.out));
}

void TestMonitoring::selectorsFindSeries_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QStringList>("users");
    QMap<QString, QStringList> users;
    for (const Query &query : queries) {
        for (const QString &selector : selectors(query.expr))
            users[selector].append(query.where);
    }
    for (auto it = users.cbegin(); it != users.cend(); ++it)
        QTest::newRow(qPrintable(it.key())) << it.key() << it.value();
}

void TestMonitoring::selectorsFindSeries()
{
    QFETCH(QString, selector);
    QFETCH(QStringList, users);
    const QJsonObject answer = prometheus->query(selector);
    QCOMPARE(answer.value(QStringLiteral("status")).toString(), QStringLiteral("success"));
    QVERIFY2(!answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray().isEmpty(),
        qPrintable(QStringLiteral("no series; used by ") + users.join(QStringLiteral(", "))));
}

void TestMonitoring::queriesEvaluate_data()
{
    QTest::addColumn<QString>("expr");
    QTest::addColumn<bool>("needsSeries");
    QTest::addColumn<QString>("label");
    for (const Query &query : queries)
        QTest::newRow(qPrintable(query.where)) << query.expr << query.needsSeries << query.label;
}

void TestMonitoring::queriesEvaluate()
{
    QFETCH(QString, expr);
    QFETCH(bool, needsSeries);
    QFETCH(QString, label);
    const QJsonObject answer = prometheus->query(expr);
    QVERIFY2(answer.value(QStringLiteral("status")) == QLatin1String("success"),
        qPrintable(expr + QStringLiteral(": ") + answer.value(QStringLiteral("error")).toString()));
    const QJsonArray result = answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray();
    if (!needsSeries)
        return;
    QVERIFY2(!result.isEmpty(), qPrintable(expr));
    for (const QJsonValue &series : result) {
        if (!label.isEmpty())
            QVERIFY2(series.toObject().value(QStringLiteral("metric")).toObject().contains(label), qPrintable(expr));
    }
}

QTEST_GUILESS_MAIN(TestMonitoring)
#include "tst_monitoring.moc"
