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
    QTest::newRow("one host") << "192.168.1.20"
                              << "192.168.1.20/32";
    QTest::newRow("network") << "10.1.0.0/16"
                             << "10.1.0.0/16";
    QTest::newRow("host bits cleared") << "10.1.2.3/16"
                                       << "10.1.0.0/16";
    QTest::newRow("several, blanks") << " 127.0.0.1 ,10.0.0.0/8,fd00::/8 "
                                     << "127.0.0.1/32, 10.0.0.0/8, fd00::/8";
    QTest::newRow("IPv6 host") << "::1"
                               << "::1/128";
    QTest::newRow("everyone") << "0.0.0.0/0, ::/0"
                              << "0.0.0.0/0, ::/0";
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
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("empty item") << "127.0.0.1,,10.0.0.1"
                                << "";
    QTest::newRow("host name") << "localhost"
                               << "localhost";
    QTest::newRow("prefix too long") << "10.0.0.0/33"
                                     << "10.0.0.0/33";
    QTest::newRow("IPv6 prefix too long") << "fd00::/129"
                                          << "fd00::/129";
    QTest::newRow("short form") << "10.1/16"
                                << "10.1/16";
    QTest::newRow("netmask missing") << "10.0.0.0/"
                                     << "10.0.0.0/";
    QTest::newRow("octet too big") << "10.0.0.256"
                                   << "10.0.0.256";
    QTest::newRow("second item bad") << "127.0.0.1, 10.0.0.0/8x"
                                     << "10.0.0.0/8x";
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
    QTest::newRow("default: loopback") << QString() << "127.0.0.1" << true;
    QTest::newRow("default: all of 127/8") << QString() << "127.3.2.1" << true;
    QTest::newRow("default: IPv6 loopback") << QString() << "::1" << true;
    QTest::newRow("default: mapped loopback") << QString() << "::ffff:127.0.0.1" << true;
    QTest::newRow("default: a LAN host") << QString() << "192.168.1.20" << false;
    QTest::newRow("host: itself") << "127.0.0.2/32"
                                  << "127.0.0.2" << true;
    QTest::newRow("host: its neighbour") << "127.0.0.2/32"
                                         << "127.0.0.1" << false;
    QTest::newRow("network: first") << "10.1.0.0/16"
                                    << "10.1.0.0" << true;
    QTest::newRow("network: last") << "10.1.0.0/16"
                                   << "10.1.255.255" << true;
    QTest::newRow("network: just outside") << "10.1.0.0/16"
                                           << "10.2.0.0" << false;
    QTest::newRow("network: mapped client") << "10.1.0.0/16"
                                            << "::ffff:10.1.7.7" << true;
    QTest::newRow("IPv6 network") << "fd00::/8"
                                  << "fd12:3456::1" << true;
    QTest::newRow("IPv6 network, IPv4 client") << "fd00::/8"
                                               << "10.1.7.7" << false;
    QTest::newRow("second item") << "10.0.0.0/8, 192.168.1.0/24"
                                 << "192.168.1.99" << true;
    QTest::newRow("no loopback unless listed") << "10.0.0.0/8"
                                               << "127.0.0.1" << false;
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
