// The decimal entry validator and the integer validators of the configuration fields.

#include "mydoublevalidator.h"

#include <QIntValidator>
#include <QtTest>

Q_DECLARE_METATYPE(QValidator::State)

class TestValidator : public QObject
{
    Q_OBJECT

private slots:
    void decimal_data();
    void decimal();
    void leavesTextAndCursorAlone();
    void followsTheBaseRange();
    void metaObject();
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
    // Before setRange the base's defaults hold: unbounded, 1000 decimals.
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

QTEST_APPLESS_MAIN(TestValidator)
#include "tst_validator.moc"
