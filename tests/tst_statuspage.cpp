// The status page in a real browser: Debian's chromium, headless, against
// the real bridge (HTTP its only front-end) on two virtual lines. The page
// shows every line and controller, the modules as lamps; it refreshes itself
// every poll interval; a controller that stops answering shows as "not
// answering" from its first failed poll and as offline after the fifth; a
// Chinese browser gets it in Chinese. With VORTANIX_STATUS_SCREENSHOT=FILE
// the test also takes the plant guide's picture (scripts/screenshots.sh).

#include "bridgerig.h"
#include "controllervalues.h"
#include "headlessbrowser.h"
#include "httpclient.h"
#include "registers.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

class TestStatusPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void showsLinesAndControllers();
    void speaksChinese();
    void silentControllerNotAnsweringThenOffline();

private:
    QByteArray page(const QString &languages = QStringLiteral("en-US,en"));

    BridgeRig rig;
    QString url;
};

namespace {

constexpr int pollMs = 300;
constexpr int phaseMs = 90000; // for each step of a controller's states, on a loaded machine

// The row of controller `id` on the page: its state and its cells.
struct Row
{
    QString state;
    QString cells;
};

Row rowOf(const QByteArray &dom, const QString &id)
{
    const QRegularExpression row(QStringLiteral("<tr data-id=\"%1\" data-state=\"([a-z]+)\"[^>]*>(.*?)</tr>")
                                     .arg(QRegularExpression::escape(id)));
    const QRegularExpressionMatch match = row.match(QString::fromUtf8(dom));
    return {match.captured(1), match.captured(2)};
}

} // namespace

QByteArray TestStatusPage::page(const QString &languages)
{
    QString error;
    // A second of the page's time: it asks for the state at once, then every poll interval.
    const QByteArray dom = HeadlessBrowser::dom(url, languages, 1000, &error);
    if (dom.isEmpty())
        qWarning("%s", qPrintable(error));
    return dom;
}

void TestStatusPage::initTestCase()
{
    QVERIFY2(!HeadlessBrowser::program().isEmpty(), "chromium is missing: bash scripts/setup.sh test installs it");
    rig.addLine(QStringLiteral("hall1"), {1, 2, 7});
    rig.addLine(QStringLiteral("hall2"), {3});
    const auto set = [this](quint8 address, const StatusValues &values) {
        SimController controller = rig.controller(QStringLiteral("hall1"), address);
        values.applyTo(controller);
    };
    StatusValues values;
    values.power = 650;
    values.supply = 23950;
    values.seconds = 1234 * 3600;
    values.switchMask = 0x005;
    set(1, values); // 25.3 °C, modules 1 and 3 on
    values.temperature = TemperatureOpenCircuit;
    values.switchMask = 0xFFF;
    set(2, values);
    values.temperature = 312;
    values.switchMask = 0x0F0;
    values.enableMask = 0x0FF;
    set(7, values);
    // hall2's controller waits 5 s for a reply that does not come: between
    // its first failed poll and its fifth, 20 s for the browser to see it.
    rig.bridge().writeConfig(QStringLiteral("[mqtt]\nenabled=false\n[http]\nlisten=127.0.0.1:0\n[bridge]\n"
                                            "poll_interval_ms=%1\n")
                                 .arg(pollMs)
        + rig.lineSection(QStringLiteral("hall1"), QStringLiteral("1,2,7"))
        + rig.lineSection(QStringLiteral("hall2"), QStringLiteral("3"), QStringLiteral("timeout_ms=5000")));
    QVERIFY(rig.bridge().start());
    const quint16 port = quint16(rig.bridge().metricsPort());
    QVERIFY2(port != 0, qPrintable(rig.bridge().log()));
    url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    const QDeadlineTimer deadline(BridgeRig::WaitMs);
    QByteArray state;
    while (!deadline.hasExpired()) {
        state = HttpClient::get(port, "/api/state").body;
        if (state.count("\"availability\":\"online\"") == 4)
            return;
        QThread::msleep(pollMs);
    }
    QFAIL(state.constData());
}

void TestStatusPage::cleanupTestCase()
{
    if (rig.bridge().pid() > 0)
        QCOMPARE(rig.bridge().terminate(), 0);
}

void TestStatusPage::showsLinesAndControllers()
{
    const QByteArray dom = page();
    QVERIFY(dom.contains("<html lang=\"en\">"));
    // It asked again after its first answer, at the poll interval.
    const QRegularExpressionMatch refreshed
        = QRegularExpression(QStringLiteral("<body [^>]*data-refresh-ms=\"(\\d+)\" data-refreshes=\"(\\d+)\""))
              .match(QString::fromUtf8(dom));
    QVERIFY2(refreshed.hasMatch(), dom.constData());
    QCOMPARE(refreshed.captured(1).toInt(), pollMs);
    QVERIFY2(refreshed.captured(2).toInt() >= 2, qPrintable(refreshed.captured(2)));

    for (const char *line : {"hall1", "hall2"}) {
        const QRegularExpression row(
            QStringLiteral("<tr data-line=\"%1\"><td>%1</td><td>%2</td><td [^>]*>115200</td>"
                           "<td><span class=\"badge open\">open</span>")
                .arg(QLatin1String(line), QRegularExpression::escape(rig.linePath(QString::fromLatin1(line)))));
        QVERIFY2(row.match(QString::fromUtf8(dom)).hasMatch(), line);
    }
    const Row one = rowOf(dom, QStringLiteral("hall1-1"));
    QCOMPARE(one.state, QStringLiteral("online"));
    for (const QString &cell : {QStringLiteral(">25.3 °C<"), QStringLiteral(">650 ‰<"), QStringLiteral(">23.95 V<"),
             QStringLiteral(">1234 h<"), QStringLiteral(">1.10<"), QStringLiteral("s ago<")})
        QVERIFY2(one.cells.contains(cell), qPrintable(one.cells));
    // Twelve lamps: modules 1 and 3 on, every module enabled.
    QCOMPARE(one.cells.count(QStringLiteral("title=\"Module ")), 12);
    QCOMPARE(one.cells.count(QStringLiteral("class=\"lamp on\"")), 2);
    QVERIFY(one.cells.contains(QStringLiteral("<span class=\"lamp on\" title=\"Module 3: on, enabled\">")));
    QVERIFY(one.cells.contains(QStringLiteral("<span class=\"lamp\" title=\"Module 2: off, enabled\">")));
    QVERIFY(rowOf(dom, QStringLiteral("hall1-2")).cells.contains(QStringLiteral(">sensor open<")));
    // Modules 5-8 on, 9-12 masked.
    const Row seven = rowOf(dom, QStringLiteral("hall1-7"));
    QCOMPARE(seven.cells.count(QStringLiteral("class=\"lamp on\"")), 4);
    QCOMPARE(seven.cells.count(QStringLiteral("class=\"lamp masked\"")), 4);
    QCOMPARE(rowOf(dom, QStringLiteral("hall2-3")).state, QStringLiteral("online"));
    QVERIFY(dom.contains("2 lines, 4 controllers: 4 online, 0 not answering, 0 offline"));
}

void TestStatusPage::speaksChinese()
{
    const QByteArray dom = page(QStringLiteral("zh-CN,zh;q=0.9,en;q=0.8"));
    QVERIFY(dom.contains("<html lang=\"zh-CN\">"));
    const Row one = rowOf(dom, QStringLiteral("hall1-1"));
    for (const QString &text : {QStringLiteral(">在线<"), QStringLiteral(">1234 小时<"), QStringLiteral("秒前<"),
             QStringLiteral("title=\"模块 3#：开，使能\"")})
        QVERIFY2(one.cells.contains(text), qPrintable(one.cells));
    QVERIFY(rowOf(dom, QStringLiteral("hall1-2")).cells.contains(QStringLiteral(">传感器开路<")));
    QVERIFY(dom.contains("<h2 data-text=\"controllers\">控制器</h2>"));
}

void TestStatusPage::silentControllerNotAnsweringThenOffline()
{
    SimController three = rig.controller(QStringLiteral("hall2"), 3);
    three.setFault(SimController::FaultNoReply);
    QElapsedTimer since;
    since.start();
    // From its first failed poll to its fifth the page says it does not answer, and how often it failed.
    QDeadlineTimer deadline(phaseMs);
    Row row;
    while (row.state != QLatin1String("failing") && !deadline.hasExpired()) {
        row = rowOf(page(), QStringLiteral("hall2-3"));
        QVERIFY2(row.state != QLatin1String("offline"), "offline before the page showed it not answering");
    }
    qInfo("shown not answering %lld ms after it fell silent", since.elapsed());
    QVERIFY2(QRegularExpression(QStringLiteral(">not answering \\([1-4] failed\\)<")).match(row.cells).hasMatch(),
        qPrintable(row.cells));
    QVERIFY2(row.cells.contains(QStringLiteral(">25.3 °C<")), qPrintable(row.cells)); // its last reading, kept
    const QByteArray picture = qgetenv("VORTANIX_STATUS_SCREENSHOT");
    if (!picture.isEmpty()) {
        QString error;
        QVERIFY2(HeadlessBrowser::screenshot(
                     url, QStringLiteral("en-US,en"), 1000, QSize(1340, 540), QString::fromLocal8Bit(picture), &error),
            qPrintable(error));
    }

    deadline.setRemainingTime(phaseMs);
    while (row.state != QLatin1String("offline") && !deadline.hasExpired())
        row = rowOf(page(), QStringLiteral("hall2-3"));
    qInfo("shown offline %lld ms after it fell silent", since.elapsed());
    QCOMPARE(row.state, QStringLiteral("offline"));
    QVERIFY2(!row.cells.contains(QStringLiteral("°C")), qPrintable(row.cells)); // no reading that is no longer true
    QVERIFY(row.cells.contains(QStringLiteral(">offline<")));

    // Back: an offline controller is polled less often (offline_poll_s), then online again.
    three.clearFault();
    deadline.setRemainingTime(phaseMs);
    while (row.state != QLatin1String("online") && !deadline.hasExpired())
        row = rowOf(page(), QStringLiteral("hall2-3"));
    QCOMPARE(row.state, QStringLiteral("online"));
}

QTEST_GUILESS_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
