// The client networks of the bridge's listening front-ends ([metrics] allow):
// what a list may say, what it refuses, and which clients it lets in.

#include "netallow.h"

#include <QtTest>

class TestNetAllow : public QObject
{
    Q_OBJECT

private slots:
    void listsAreParsed_data();
    void listsAreParsed();
    void badItemsAreRefused_data();
    void badItemsAreRefused();
    void clientsAreMatched_data();
    void clientsAreMatched();
};

void TestNetAllow::listsAreParsed_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("normalised");
    const auto row = [](const char *name, const char *list, const char *normalised) {
        QTest::newRow(name) << QString(list) << QString(normalised);
    };
    row("one host", "192.168.1.20", "192.168.1.20/32");
    row("network", "10.1.0.0/16", "10.1.0.0/16");
    row("host bits cleared", "10.1.2.3/16", "10.1.0.0/16");
    row("several, blanks", " 127.0.0.1 ,10.0.0.0/8,fd00::/8 ", "127.0.0.1/32, 10.0.0.0/8, fd00::/8");
    row("IPv6 host", "::1", "::1/128");
    row("everyone", "0.0.0.0/0, ::/0", "0.0.0.0/0, ::/0");
}

void TestNetAllow::listsAreParsed()
{
    QFETCH(QString, list);
    QFETCH(QString, normalised);
    NetAllow allow;
    QString why;
    QVERIFY2(allow.parse(list, &why), qPrintable(why));
    QCOMPARE(allow.text(), normalised);
}

void TestNetAllow::badItemsAreRefused_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("item");
    const auto row = [](const char *name, const char *list, const char *item) {
        QTest::newRow(name) << QString(list) << QString(item);
    };
    row("empty", "", "");
    row("empty item", "127.0.0.1,,10.0.0.1", "");
    row("host name", "localhost", "localhost");
    row("prefix too long", "10.0.0.0/33", "10.0.0.0/33");
    row("IPv6 prefix too long", "fd00::/129", "fd00::/129");
    row("short form", "10.1/16", "10.1/16");
    row("netmask missing", "10.0.0.0/", "10.0.0.0/");
    row("octet too big", "10.0.0.256", "10.0.0.256");
    row("second item bad", "127.0.0.1, 10.0.0.0/8x", "10.0.0.0/8x");
}

void TestNetAllow::badItemsAreRefused()
{
    QFETCH(QString, list);
    QFETCH(QString, item);
    NetAllow allow;
    QString why;
    QVERIFY(!allow.parse(list, &why));
    QCOMPARE(
        why, QStringLiteral("'%1' is not an address or a network (e.g. 127.0.0.1, 10.1.0.0/16 or fd00::/8)").arg(item));
    QCOMPARE(allow.text(), QStringLiteral("127.0.0.0/8, ::1/128")); // left as it was
}

void TestNetAllow::clientsAreMatched_data()
{
    QTest::addColumn<QString>("list"); // empty: the default
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("allowed");
    const auto row = [](const char *name, const char *list, const char *client, bool allowed) {
        QTest::newRow(name) << QString(list) << QString(client) << allowed;
    };
    row("default: loopback", "", "127.0.0.1", true);
    row("default: all of 127/8", "", "127.3.2.1", true);
    row("default: IPv6 loopback", "", "::1", true);
    row("default: mapped loopback", "", "::ffff:127.0.0.1", true);
    row("default: a LAN host", "", "192.168.1.20", false);
    row("host: itself", "127.0.0.2/32", "127.0.0.2", true);
    row("host: its neighbour", "127.0.0.2/32", "127.0.0.1", false);
    row("network: first", "10.1.0.0/16", "10.1.0.0", true);
    row("network: last", "10.1.0.0/16", "10.1.255.255", true);
    row("network: just outside", "10.1.0.0/16", "10.2.0.0", false);
    row("network: mapped client", "10.1.0.0/16", "::ffff:10.1.7.7", true);
    row("IPv6 network", "fd00::/8", "fd12:3456::1", true);
    row("IPv6 network, IPv4 client", "fd00::/8", "10.1.7.7", false);
    row("second item", "10.0.0.0/8, 192.168.1.0/24", "192.168.1.99", true);
    row("no loopback unless listed", "10.0.0.0/8", "127.0.0.1", false);
}

void TestNetAllow::clientsAreMatched()
{
    QFETCH(QString, list);
    QFETCH(QString, client);
    QFETCH(bool, allowed);
    NetAllow allow;
    QString why;
    QVERIFY2(list.isEmpty() || allow.parse(list, &why), qPrintable(why));
    QCOMPARE(allow.allows(QHostAddress(client)), allowed);
}

QTEST_GUILESS_MAIN(TestNetAllow)
#include "tst_netallow.moc"
