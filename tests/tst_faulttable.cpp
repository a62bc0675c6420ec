// The faults of the virtual controller as data, without a thread or a
// terminal: which requests each strikes, what it makes of the proper reply,
// and how vortanix-sim's command line names it.

#include "controllervalues.h"
#include "faults.h"
#include "modbusframes.h"

#include <QtTest>

namespace {

using Kind = ControllerFaults::FaultKind;

// Requests and proper replies the rows share (made when a test runs: the
// support's values are not there yet while statics are initialised).
struct Frames
{
    QByteArray aRead = statusRead();
    QByteArray aReadReply = readReply(1, factoryStatusWords());
    QByteArray aWrite = writeRequest(1, 0x0002, 5);
    QByteArray aBlock = blockRequest(1, 0x2001, factoryConfigWords);
};

ControllerFaults::Fault fault(Kind kind, int param = 0)
{
    ControllerFaults::Fault f;
    f.kind = kind;
    f.param = param;
    return f;
}

} // namespace

Q_DECLARE_METATYPE(ControllerFaults::FaultKind)

class TestFaultTable : public QObject
{
    Q_OBJECT

private slots:
    void apply_data();
    void apply();
    void strikes_data();
    void strikes();
    void parse_data();
    void parse();
    void usageNamesEveryFaultOnce();
};

void TestFaultTable::apply_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("param");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("leading"); // garbage bytes before `sent`
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("stream");
    QTest::addColumn<bool>("unplug");

    const Frames f;
    const QByteArray &aRead = f.aRead, &aReadReply = f.aReadReply, &aWrite = f.aWrite, &aBlock = f.aBlock;
    QByteArray badCrc = aReadReply;
    badCrc[28] = char(~quint8(badCrc.at(28)));

    QTest::newRow("no reply") << ControllerFaults::FaultNoReply << 0 << aRead << aReadReply << 0 << QByteArray() << 0
                              << 0 << false << false;
    QTest::newRow("bad CRC") << ControllerFaults::FaultBadCrc << 0 << aRead << aReadReply << 0 << badCrc << 0 << 0
                             << false << false;
    QTest::newRow("cut to 4") << ControllerFaults::FaultTruncate << 4 << aRead << aReadReply << 0 << aReadReply.left(4)
                              << 0 << 0 << false << false;
    QTest::newRow("cut to more than there is")
        << ControllerFaults::FaultTruncate << 100 << aRead << aReadReply << 0 << aReadReply << 0 << 0 << false << false;
    QTest::newRow("delay") << ControllerFaults::FaultDelay << 300 << aRead << aReadReply << 0 << aReadReply << 300 << 0
                           << false << false;
    QTest::newRow("gaps") << ControllerFaults::FaultGapPace << 40 << aRead << aReadReply << 0 << aReadReply << 0 << 40
                          << false << false;
    QTest::newRow("echo of a single write") << ControllerFaults::FaultEcho8 << 0 << aWrite << ack(1, 0x06, 0x0002) << 0
                                            << aWrite << 0 << 0 << false << false;
    QTest::newRow("8-byte reply to a block write")
        << ControllerFaults::FaultEcho8 << 0 << aBlock << ack(1, 0x10, 0x2001) << 0
        << withCrc(bytes({1, 0x10, 0x20, 0x01, 0x00, 0x07})) << 0 << 0 << false << false;
    QTest::newRow("exception, device failure") << ControllerFaults::FaultException << 0 << aRead << aReadReply << 0
                                               << exceptionReply(1, 0x03, 0x04) << 0 << 0 << false << false;
    QTest::newRow("exception 6") << ControllerFaults::FaultException << 6 << aRead << aReadReply << 0
                                 << exceptionReply(1, 0x03, 0x06) << 0 << 0 << false << false;
    QTest::newRow("garbage first") << ControllerFaults::FaultGarbageBefore << 5 << aRead << aReadReply << 5
                                   << aReadReply << 0 << 0 << false << false;
    QTest::newRow("wrong address") << ControllerFaults::FaultWrongAddress << 9 << aRead << aReadReply << 0
                                   << readReply(9, factoryStatusWords()) << 0 << 0 << false << false;
    QTest::newRow("wrong function") << ControllerFaults::FaultWrongFunction << 4 << aWrite << ack(1, 0x06, 0x0002) << 0
                                    << ack(1, 0x04, 0x0002) << 0 << 0 << false << false;
    QTest::newRow("a single write acknowledged for another register")
        << ControllerFaults::FaultWrongRegister << 0x0105 << aWrite << ack(1, 0x06, 0x0002) << 0 << ack(1, 0x06, 0x0105)
        << 0 << 0 << false << false;
    QTest::newRow("a block write acknowledged for another register")
        << ControllerFaults::FaultWrongRegister << 0x2002 << aBlock << ack(1, 0x10, 0x2001) << 0 << ack(1, 0x10, 0x2002)
        << 0 << 0 << false << false;
    QTest::newRow("endless stream") << ControllerFaults::FaultEndlessStream << 0 << aRead << aReadReply << 0
                                    << QByteArray() << 0 << 0 << true << false;
    QTest::newRow("unplug") << ControllerFaults::FaultUnplugOnRequest << 0 << aWrite << QByteArray() << 0
                            << QByteArray() << 0 << 0 << false << true;
}

void TestFaultTable::apply()
{
    QFETCH(Kind, kind);
    QFETCH(int, param);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(int, leading);
    QFETCH(QByteArray, sent);
    QFETCH(int, delayMs);
    QFETCH(int, gapMs);
    QFETCH(bool, stream);
    QFETCH(bool, unplug);

    quint32 seed = 0x12345678;
    const Response response = Faults::apply(fault(kind, param), request, reply, &seed);
    QCOMPARE(hexFrame(response.bytes.mid(leading)), hexFrame(sent));
    QCOMPARE(response.bytes.size(), leading + sent.size());
    QCOMPARE(response.delayMs, delayMs);
    QCOMPARE(response.gapMs, gapMs);
    QCOMPARE(response.startsStream, stream);
    QCOMPARE(response.unplugs, unplug);
    // The trace says which fault it was.
    QVERIFY2(response.note.startsWith(QStringLiteral("fault: ")), qPrintable(response.note));
}

void TestFaultTable::strikes_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("struck");

    const Frames f;
    const QByteArray &aRead = f.aRead, &aReadReply = f.aReadReply, &aWrite = f.aWrite, &aBlock = f.aBlock;
    const QByteArray refusedWrite = writeRequest(1, 0x0007, 9);
    const QByteArray refusal = exceptionReply(1, 0x06, 0x02);
    struct Row
    {
        Kind kind;
        bool read, write, block, refused, unanswered;
    };
    const Row rows[] = {
        {ControllerFaults::FaultNone, false, false, false, false, false},
        {ControllerFaults::FaultNoReply, true, true, true, true, false},
        {ControllerFaults::FaultBadCrc, true, true, true, true, false},
        {ControllerFaults::FaultDelay, true, true, true, true, false},
        {ControllerFaults::FaultEcho8, false, true, true, false, false},
        {ControllerFaults::FaultException, true, false, false, false, false},
        {ControllerFaults::FaultEndlessStream, true, true, true, true, false},
        {ControllerFaults::FaultUnplugOnRequest, true, true, true, true, true},
        {ControllerFaults::FaultWrongRegister, false, true, true, false, false},
    };
    for (const Row &row : rows) {
        const QString name = Faults::name(row.kind);
        QTest::addRow("%s: read", qPrintable(name)) << row.kind << aRead << aReadReply << row.read;
        QTest::addRow("%s: write", qPrintable(name)) << row.kind << aWrite << ack(1, 0x06, 0x0002) << row.write;
        QTest::addRow("%s: block", qPrintable(name)) << row.kind << aBlock << ack(1, 0x10, 0x2001) << row.block;
        QTest::addRow("%s: refused write", qPrintable(name)) << row.kind << refusedWrite << refusal << row.refused;
        QTest::addRow("%s: no reply due", qPrintable(name)) << row.kind << aRead << QByteArray() << row.unanswered;
    }
}

void TestFaultTable::strikes()
{
    QFETCH(Kind, kind);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(bool, struck);
    QCOMPARE(Faults::strikes(kind, request, reply), struck);
}

void TestFaultTable::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("param");
    QTest::addColumn<QString>("error"); // empty: taken

    QTest::newRow("none") << "none" << ControllerFaults::FaultNone << 0 << "";
    QTest::newRow("no parameter") << "no-reply" << ControllerFaults::FaultNoReply << 0 << "";
    QTest::newRow("parameter") << "truncate:4" << ControllerFaults::FaultTruncate << 4 << "";
    QTest::newRow("hex parameter") << "gap:0x10" << ControllerFaults::FaultGapPace << 16 << "";
    QTest::newRow("optional left out") << "exception" << ControllerFaults::FaultException << 0 << "";
    QTest::newRow("optional given") << "exception:6" << ControllerFaults::FaultException << 6 << "";
    QTest::newRow("largest address") << "wrong-address:255" << ControllerFaults::FaultWrongAddress << 255 << "";
    QTest::newRow("unknown") << "nonsense" << ControllerFaults::FaultNone << 0 << "unknown fault 'nonsense'";
    QTest::newRow("case matters") << "No-Reply" << ControllerFaults::FaultNone << 0 << "unknown fault";
    QTest::newRow("parameter missing") << "delay" << ControllerFaults::FaultNone << 0
                                       << "fault 'delay' needs a parameter (delay:MS)";
    QTest::newRow("parameter empty") << "delay:" << ControllerFaults::FaultNone << 0 << "bad parameter";
    QTest::newRow("parameter not taken") << "bad-crc:3" << ControllerFaults::FaultNone << 0
                                         << "fault 'bad-crc' takes no parameter";
    QTest::newRow("parameter not a number") << "delay:soon" << ControllerFaults::FaultNone << 0 << "bad parameter";
    QTest::newRow("parameter negative") << "delay:-1" << ControllerFaults::FaultNone << 0 << "bad parameter";
    QTest::newRow("address too large") << "wrong-address:256" << ControllerFaults::FaultNone << 0
                                       << "bad parameter in 'wrong-address:256' (0..255)";
    QTest::newRow("nothing") << "" << ControllerFaults::FaultNone << 0 << "unknown fault ''";
}

void TestFaultTable::parse()
{
    QFETCH(QString, text);
    QFETCH(Kind, kind);
    QFETCH(int, param);
    QFETCH(QString, error);

    ControllerFaults::Fault parsed;
    QString reason;
    const bool taken = Faults::parse(text, &parsed, &reason);
    QCOMPARE(taken, error.isEmpty());
    if (taken) {
        QCOMPARE(parsed.kind, kind);
        QCOMPARE(parsed.param, param);
        QCOMPARE(parsed.count, -1); // until cleared
    } else {
        QVERIFY2(reason.startsWith(error), qPrintable(reason));
    }
}

void TestFaultTable::usageNamesEveryFaultOnce()
{
    // Each usage line starts with a name that parses back to its own kind,
    // and no kind is missing or listed twice; vortanix-sim's manual page
    // names each one.
    QFile page(QStringLiteral(VORTANIX_SOURCE_DIR "/packaging/man/vortanix-sim.1"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(page.readAll());
    QSet<int> kinds;
    for (const QString &line : Faults::usageLines()) {
        QString name = line.trimmed().section(QLatin1Char(' '), 0, 0);
        name = name.section(QLatin1Char('['), 0, 0).section(QLatin1Char(':'), 0, 0);
        ControllerFaults::Fault parsed;
        QString reason;
        const bool taken
            = Faults::parse(name, &parsed, &reason) || Faults::parse(name + QStringLiteral(":1"), &parsed, &reason);
        QVERIFY2(taken, qPrintable(line + QStringLiteral(": ") + reason));
        QCOMPARE(Faults::name(parsed.kind), name);
        QVERIFY2(!kinds.contains(parsed.kind), qPrintable(line));
        kinds.insert(parsed.kind);
        const QString roffName = QString(name).replace(QLatin1Char('-'), QStringLiteral("\\-"));
        const QRegularExpression entry(QStringLiteral("^\\.B[IR]? %1\\b").arg(QRegularExpression::escape(roffName)),
            QRegularExpression::MultilineOption);
        QVERIFY2(manual.contains(entry), qPrintable(name + QStringLiteral(" is not in vortanix-sim.1")));
    }
    QCOMPARE(kinds.size(), int(ControllerFaults::FaultKindCount) - 1); // every kind but FaultNone
}

QTEST_GUILESS_MAIN(TestFaultTable)
#include "tst_faulttable.moc"
