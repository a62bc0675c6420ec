// The strict INI reader that our programs' own files go through (the
// bridge's configuration, the files vortanix-ctl sends): what it takes, as
// entries in file order, and what it refuses, with the line and the reason.
// The programs' suites (tst_bridgeconfig, tst_ctlconfig) run it end to end.

#include "inireader.h"

#include <QTextCodec>
#include <QtTest>

class TestIniReader : public QObject
{
    Q_OBJECT

private slots:
    void takenAsWritten_data();
    void takenAsWritten();
    void ambiguousTextIsRefusedByLine_data();
    void ambiguousTextIsRefusedByLine();
    void panelWrittenValuesAreDecoded_data();
    void panelWrittenValuesAreDecoded();
};

namespace {

// Entries as "section|key|value|line".
QStringList entriesOf(const QList<IniReader::Entry> &entries)
{
    QStringList list;
    for (const IniReader::Entry &entry : entries)
        list << QStringLiteral("%1|%2|%3|%4").arg(entry.section, entry.key, entry.value).arg(entry.line);
    return list;
}

} // namespace

void TestIniReader::takenAsWritten_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("sections and keys in order") << QByteArray("[mqtt]\nhost=broker\n[line.a]\nport=/dev/ttyUSB0\n")
                                                << QStringList{"mqtt|host|broker|2", "line.a|port|/dev/ttyUSB0|4"};
    QTest::newRow("comments and blanks") << QByteArray("# one\n; two\n\n  [s]  \n  # three\n k = v \n")
                                         << QStringList{"s|k|v|6"};
    QTest::newRow("comment after a blank") << QByteArray("[s]\na=1883 ; default\nb=x # note\nc=x;y\nd=x#y\n")
                                           << QStringList{"s|a|1883|2", "s|b|x|3", "s|c|x;y|4", "s|d|x#y|5"};
    QTest::newRow("comment after a section") << QByteArray("[s] ; the broker\nk=v\n") << QStringList{"s|k|v|2"};
    QTest::newRow("quoted value") << QByteArray("[s]\nk=\" a ; b # c \" ; comment\n")
                                  << QStringList{"s|k| a ; b # c |2"};
    QTest::newRow("commas stay") << QByteArray("[s]\naddresses=1, 7, 200\n") << QStringList{"s|addresses|1, 7, 200|2"};
    QTest::newRow("empty value") << QByteArray("[s]\nk=\n") << QStringList{"s|k||2"};
    QTest::newRow("UTF-8") << QString("[line.ä]\nport=/dev/ttyÜ\nid.1=ünï\n").toUtf8()
                           << QStringList{"line.ä|port|/dev/ttyÜ|2", "line.ä|id.1|ünï|3"};
    QTest::newRow("byte-order mark, CR LF") << QByteArray("\xEF\xBB\xBF[s]\r\nk=v\r\n") << QStringList{"s|k|v|2"};
    QTest::newRow("before any section") << QByteArray("k=v\n[s]\nk=w\n") << QStringList{"|k|v|1", "s|k|w|3"};
    QTest::newRow("same key, other sections")
        << QByteArray("[a]\nk=1\n[b]\nk=1\n") << QStringList{"a|k|1|2", "b|k|1|4"};
    QTest::newRow("empty file") << QByteArray() << QStringList();
}

void TestIniReader::takenAsWritten()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, entries);
    QList<IniReader::Entry> read;
    QString error;
    QVERIFY2(IniReader::parse(bytes, IniReader::Options(), &read, &error), qPrintable(error));
    QCOMPARE(entriesOf(read), entries);
}

void TestIniReader::ambiguousTextIsRefusedByLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");

    QTest::newRow("section twice") << QByteArray("[line.a]\nport=/dev/x\n[mqtt]\n[line.a]\naddresses=1\n")
                                   << "line 4: [line.a] is given twice (first on line 1)";
    QTest::newRow("key twice") << QByteArray("[s]\nport=/dev/a\n\nport=/dev/b\n")
                               << "line 4: [s] port is given twice (first on line 2)";
    QTest::newRow("key twice, blanks around")
        << QByteArray("[s]\nport=1\n port =2\n") << "line 3: [s] port is given twice";
    QTest::newRow("key twice before sections") << QByteArray("k=1\nk=2\n") << "line 2: k is given twice";
    QTest::newRow("@Variant") << QByteArray("[s]\nport=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n")
                              << "line 2: [s] port: a value starting with '@' (@Variant(...)";
    QTest::newRow("@ByteArray") << QByteArray("[s]\nk=@ByteArray(12)\n") << "line 2: [s] k: a value starting with '@'";
    QTest::newRow("hex escapes") << QByteArray("[s]\nk=\\x31\\x32\n") << "line 2: [s] k: '\\x31\\x32': a backslash";
    QTest::newRow("escape in quotes") << QByteArray("[s]\nk=\"a\\nb\"\n") << "line 2: [s] k: a backslash";
    QTest::newRow("continued line") << QByteArray("[s]\nport=/dev/tty\\\nUSB0\n")
                                    << "line 2: [s] port: a line continued by a trailing backslash";
    QTest::newRow("continued before a comment")
        << QByteArray("[s]\nk=12\\ ; more\n34\n") << "line 2: [s] k: a line continued";
    QTest::newRow("slash in a section") << QByteArray("[line.a/b]\nport=/dev/x\n")
                                        << "line 1: [line.a/b]: '/' and '\\' in a section name";
    QTest::newRow("slash in a key") << QByteArray("[s]\na/b=1\n") << "line 2: [s] a/b: '/' and '\\' in a key name";
    QTest::newRow("quote inside") << QByteArray("[s]\nk=a\"b\n") << "line 2: [s] k: 'a\"b': a '\"' inside a value";
    QTest::newRow("quote not closed") << QByteArray("[s]\nk=\"ab\n") << "line 2: [s] k: a quoted value must end";
    QTest::newRow("text after quotes") << QByteArray("[s]\nk=\"a\" b\n") << "line 2: [s] k: a quoted value must end";
    QTest::newRow("neither key nor section")
        << QByteArray("[s]\nport /dev/x\n") << "line 2: 'port /dev/x' is neither [section], key=value";
    QTest::newRow("section not closed") << QByteArray("[s\nk=1\n") << "line 1: '[s' opens a section";
    QTest::newRow("text after a section") << QByteArray("[s] k=1\n") << "line 1: text after the section header [s]";
    QTest::newRow("section without a name") << QByteArray("[ ]\n") << "line 1: a section header without a name";
    QTest::newRow("value without a key") << QByteArray("[s]\n=1\n") << "line 2: [s] a value without a key";
    QTest::newRow("Latin-1") << QByteArray("[s]\nk=a\n\nport=/dev/tty\xDC\n")
                             << "line 4: not UTF-8 text; save the file as UTF-8";
    QTest::newRow("GB18030 without leave")
        << QTextCodec::codecForName("GB18030")->fromUnicode("[s]\nname=第二条线\n") << "line 2: not UTF-8 text";
    QTest::newRow("cut UTF-8 at the end") << QByteArray("[s]\nk=\xC3") << "line 2: not UTF-8 text";
    QTest::newRow("NUL byte") << QByteArray("[s]\nk=1\n\nk2=a\0b\n", 16) << "line 4: a NUL byte";
}

void TestIniReader::ambiguousTextIsRefusedByLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QList<IniReader::Entry> read{IniReader::Entry{QStringLiteral("untouched"), {}, {}, 0}};
    QString why;
    QVERIFY(!IniReader::parse(bytes, IniReader::Options(), &read, &why));
    QVERIFY2(why.startsWith(error), qPrintable(why));
    QCOMPARE(read.size(), 1); // nothing half-read is handed out
}

// The name key of the panel's files, as QSettings writes it: escapes decoded
// there and nowhere else; GB18030 taken when asked for.
void TestIniReader::panelWrittenValuesAreDecoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("value"); // of "name", or "error: ..."

    QTest::newRow("hex escapes") << QByteArray("name=\\x9ed8\\x8ba4\\x914d\\x7f6e\\x31\n") << "默认配置1";
    QTest::newRow("quoted with a comma") << QByteArray("name=\"a, b\"\n") << "a, b";
    QTest::newRow("escaped quote and backslash") << QByteArray("name=\"x\\\"y\\\\z\"\n") << "x\"y\\z";
    QTest::newRow("octal") << QByteArray("name=a\\101\n") << "aA";
    QTest::newRow("octal, first digits 0 and 7") << QByteArray("name=\\060\\7x\n") << "0\ax";
    QTest::newRow("octal, no digit 8") << QByteArray("name=a\\8\n") << "error: line 1: name: 'a\\8' is not a value";
    QTest::newRow("leading @ written twice") << QByteArray("name=@@home\n") << "@home";
    QTest::newRow("comment") << QByteArray("name=line 3 ; old\n") << "line 3";
    QTest::newRow("UTF-8") << QString("name=第二条线\n").toUtf8() << "第二条线";
    QTest::newRow("GB18030") << QTextCodec::codecForName("GB18030")->fromUnicode("name=第二条线\n") << "第二条线";
    QTest::newRow("@Variant") << QByteArray("name=@Variant(\\0)\n") << "error: line 1: name: a value starting with '@'";
    QTest::newRow("continued") << QByteArray("name=a\\\nb\n") << "error: line 1: name: a line continued";
    QTest::newRow("unknown escape") << QByteArray("name=a\\qb\n") << "error: line 1: name: 'a\\qb' is not a value";
    QTest::newRow("escape beyond 16 bits") << QByteArray("name=\\x12345\n") << "error: line 1: name: '\\x12345'";
    QTest::newRow("quote left open") << QByteArray("name=\"ab\n") << "error: line 1: name: '\"ab' is not a value";
    QTest::newRow("other keys stay strict")
        << QByteArray("name=x\nmax=\\x33\n") << "error: line 2: max: '\\x33': a backslash";
}

void TestIniReader::panelWrittenValuesAreDecoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, value);
    IniReader::Options options;
    options.gb18030 = true;
    options.escapedKeys = QStringList{QStringLiteral("name")};
    QList<IniReader::Entry> read;
    QString why;
    const bool ok = IniReader::parse(bytes, options, &read, &why);
    if (value.startsWith(QLatin1String("error: "))) {
        QVERIFY(!ok);
        QVERIFY2(why.startsWith(value.mid(7)), qPrintable(why));
        return;
    }
    QVERIFY2(ok, qPrintable(why));
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.first().value, value);
}

QTEST_GUILESS_MAIN(TestIniReader)
#include "tst_inireader.moc"
