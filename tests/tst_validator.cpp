// The decimal entry validator and the integer validators of the configuration
// fields: what each accepts, and that what they accept is, in every locale,
// exactly what the panel's conversions read.

#include "mydoublevalidator.h"
#include "myintvalidator.h"
#include "numbertext.h"

#include <QIntValidator>
#include <QLocale>
#include <QtTest>

Q_DECLARE_METATYPE(QValidator::State)

namespace {

const QList<QLocale> everyLocale{QLocale::c(), QLocale(QStringLiteral("zh_CN")), QLocale(QStringLiteral("en_US")),
    QLocale(QStringLiteral("de_DE")), QLocale(QStringLiteral("fr_FR")), QLocale(QStringLiteral("hi_IN"))};

// Validators made while `locale` is the default, as the window makes them.
struct Validators
{
    explicit Validators(const QLocale &locale)
    {
        const QLocale saved;
        QLocale::setDefault(locale);
        dac = std::make_unique<MyIntValidator>(2800, 3980);
        hours = std::make_unique<MyIntValidator>(0, 100000);
        alarm = std::make_unique<MyDoubleValidator>();
        alarm->setNotation(QDoubleValidator::StandardNotation);
        alarm->setRange(0.0, 100.0, 2);
        QLocale::setDefault(saved);
    }
    std::unique_ptr<MyIntValidator> dac;
    std::unique_ptr<MyIntValidator> hours;
    std::unique_ptr<MyDoubleValidator> alarm;
};

QValidator::State stateOf(const QValidator &validator, QString text)
{
    int pos = text.size();
    return validator.validate(text, pos);
}

// Every text of up to `length` characters from the alphabet.
QStringList textsOver(const QString &alphabet, int length)
{
    QStringList texts{QString()};
    QStringList last{QString()};
    for (int n = 1; n <= length; ++n) {
        QStringList next;
        for (const QString &prefix : last)
            for (const QChar c : alphabet)
                next.append(prefix + c);
        texts += next;
        last = next;
    }
    return texts;
}

} // namespace

class TestValidator : public QObject
{
    Q_OBJECT

private slots:
    void decimal_data();
    void decimal();
    void leavesTextAndCursorAlone();
    void followsTheBaseRange();
    void metaObject();
    void integerFieldsInEveryLocale_data();
    void integerFieldsInEveryLocale();
    void decimalFieldInEveryLocale_data();
    void decimalFieldInEveryLocale();
    void acceptedTextIsReadAsTheSameNumber();
};

void TestValidator::decimal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QValidator::State>("state");
    const auto ok = QValidator::Acceptable;
    const auto bad = QValidator::Invalid;
    QTest::newRow("empty") << "" << QValidator::Intermediate;
    QTest::newRow("0") << "0" << ok;
    QTest::newRow("30") << "30" << ok;
    QTest::newRow("25.3") << "25.3" << ok;
    QTest::newRow("99.99") << "99.99" << ok;
    QTest::newRow("100") << "100" << ok;
    QTest::newRow("25.355 three decimals") << "25.355" << bad;
    QTest::newRow("100.01 above top") << "100.01" << bad;
    QTest::newRow("101 above top") << "101" << bad;
    QTest::newRow("-1 below bottom") << "-1" << bad;
    QTest::newRow("lone minus") << "-" << bad;
    QTest::newRow("lone point") << "." << bad;
    QTest::newRow("letters") << "abc" << bad;
    QTest::newRow(".25") << ".25" << ok;
    QTest::newRow(".255") << ".255" << bad;
    QTest::newRow("1e2 pasted") << "1e2" << ok;
    QTest::newRow("1e typed") << "1e" << bad;
    QTest::newRow("25. trailing point") << "25." << ok;
    QTest::newRow("exponent counted as decimals") << "1.0e1" << bad;
}

void TestValidator::decimal()
{
    QFETCH(QString, text);
    QFETCH(QValidator::State, state);
    MyDoubleValidator validator;
    validator.setNotation(QDoubleValidator::StandardNotation);
    validator.setRange(0.0, 100.0, 2);
    int pos = text.size();
    QCOMPARE(validator.validate(text, pos), state);
}

void TestValidator::leavesTextAndCursorAlone()
{
    MyDoubleValidator validator;
    validator.setRange(0.0, 100.0, 2);
    QString text = QStringLiteral("25.355");
    int pos = 2;
    validator.validate(text, pos);
    QCOMPARE(text, QStringLiteral("25.355"));
    QCOMPARE(pos, 2);
    QString fixed = QStringLiteral("abc");
    validator.fixup(fixed);
    QCOMPARE(fixed, QStringLiteral("abc"));
}

void TestValidator::followsTheBaseRange()
{
    // Before setRange the base's defaults hold: unbounded, any number of
    // decimals (1000 in Qt 5, -1 for no limit in Qt 6).
    MyDoubleValidator validator;
    QString big = QStringLiteral("123456789.123456");
    int pos = 0;
    QCOMPARE(validator.validate(big, pos), QValidator::Acceptable);
    validator.setRange(-5.0, 5.0, 1);
    QString negative = QStringLiteral("-4.5");
    QCOMPARE(validator.validate(negative, pos), QValidator::Acceptable);
    QString tooPrecise = QStringLiteral("4.55");
    QCOMPARE(validator.validate(tooPrecise, pos), QValidator::Invalid);
}

void TestValidator::metaObject()
{
    MyDoubleValidator validator;
    QCOMPARE(QString::fromLatin1(validator.metaObject()->className()), QStringLiteral("MyDoubleValidator"));
    QVERIFY(qobject_cast<QDoubleValidator *>(&validator));
    QCOMPARE(validator.metaObject()->methodCount(), QDoubleValidator::staticMetaObject.methodCount());
}

// The DAC and hours fields: no group separators, no decimal sign, full-width digits as ASCII.
void TestValidator::integerFieldsInEveryLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QValidator::State>("dac");
    QTest::addColumn<QValidator::State>("hours");
    const auto ok = QValidator::Acceptable;
    const auto partial = QValidator::Intermediate;
    const auto bad = QValidator::Invalid;
    for (const QLocale &locale : everyLocale) {
        auto row
            = [&](const char *what) -> QTestData & { return QTest::addRow("%s: %s", qPrintable(locale.name()), what); };
        row("3500") << locale << "3500" << ok << ok;
        row("3,500") << locale << "3,500" << bad << bad;
        row("35,00") << locale << "35,00" << bad << bad;
        row("3.500") << locale << "3.500" << bad << bad;
        row("3 500") << locale << "3 500" << bad << bad;
        row("3 500 with a narrow no-break space") << locale << QString::fromUtf8("3\u202F500") << bad << bad;
        row("full-width 3500") << locale << QString::fromUtf8("３５００") << ok << ok;
        row("full-width 3,500") << locale << QString::fromUtf8("３，５００") << bad << bad;
        row("28 on the way") << locale << "28" << partial << ok;
        row("+3500") << locale << "+3500" << ok << ok;
        row("-1") << locale << "-1" << bad << bad;
        row("Arabic-Indic digits") << locale << QString::fromUtf8("٣٥٠٠") << bad << bad;
    }
}

void TestValidator::integerFieldsInEveryLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QFETCH(QValidator::State, dac);
    QFETCH(QValidator::State, hours);
    const Validators v(locale);
    QCOMPARE(stateOf(*v.dac, text), dac);
    QCOMPARE(stateOf(*v.hours, text), hours);
}

// The alarm field: a point is the decimal sign everywhere; nan and inf are no temperature.
void TestValidator::decimalFieldInEveryLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QValidator::State>("state");
    const auto ok = QValidator::Acceptable;
    const auto bad = QValidator::Invalid;
    for (const QLocale &locale : everyLocale) {
        auto row
            = [&](const char *what) -> QTestData & { return QTest::addRow("%s: %s", qPrintable(locale.name()), what); };
        row("25.3") << locale << "25.3" << ok;
        row("25,3") << locale << "25,3" << bad;
        row("full-width 25.3") << locale << QString::fromUtf8("２５．３") << ok;
        row("full-width 25.355") << locale << QString::fromUtf8("２５．３５５") << bad;
        row("nan") << locale << "nan" << bad;
        row("NaN") << locale << "NaN" << bad;
        row("full-width NaN") << locale << QString::fromUtf8("ＮａＮ") << bad;
        row("inf") << locale << "inf" << bad;
        row("-inf") << locale << "-inf" << bad;
        row("1e2") << locale << "1e2" << ok;
        row("1,000") << locale << "1,000" << bad;
    }
}

void TestValidator::decimalFieldInEveryLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QFETCH(QValidator::State, state);
    const Validators v(locale);
    QCOMPARE(stateOf(*v.alarm, text), state);
}

// Whatever a validator takes as a finished number, the conversion reads as
// that number, within the field's range: every text of up to four characters
// from digits, signs, separators, blanks and full-width forms, in every locale.
void TestValidator::acceptedTextIsReadAsTheSameNumber()
{
    const QStringList texts = textsOver(QString::fromUtf8("039,. -+e５．"), 4);
    int accepted = 0;
    for (const QLocale &locale : everyLocale) {
        const Validators v(locale);
        for (const QString &text : texts) {
            if (stateOf(*v.hours, text) == QValidator::Acceptable) {
                ++accepted;
                bool ok = false;
                const quint32 hours = NumberText::toUInt(text, &ok);
                QVERIFY2(ok && hours <= 100000, qPrintable(locale.name() + QStringLiteral(": hours ") + text));
            }
            if (stateOf(*v.alarm, text) == QValidator::Acceptable) {
                ++accepted;
                qint32 tenths = -1;
                QVERIFY2(NumberText::toTenths(text, &tenths) == NumberText::TenthsOk && tenths >= 0 && tenths <= 1000,
                    qPrintable(locale.name() + QStringLiteral(": alarm ") + text));
                // The tenths are those of the number the validator judged.
                const double value = NumberText::normalized(text).toDouble();
                QVERIFY2(tenths == qint32(value * 10 + 1e-9) || tenths == qint32(value * 10),
                    qPrintable(locale.name() + QStringLiteral(": alarm ") + text));
            }
        }
    }
    QVERIFY(accepted > 1000); // the alphabet does reach acceptable numbers
}

QTEST_APPLESS_MAIN(TestValidator)
#include "tst_validator.moc"
