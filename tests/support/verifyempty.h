#ifndef VERIFYEMPTY_H
#define VERIFYEMPTY_H

#include <QString>
#include <QtTest>

// Passes when `problem`, a text that says what is wrong, is empty; else fails
// with all of that text, which QCOMPARE would cut short.
#define VERIFY_EMPTY(problem)                                                                                          \
    do {                                                                                                               \
        const QString verifyEmptyText = (problem);                                                                     \
        QVERIFY2(verifyEmptyText.isEmpty(), qPrintable(verifyEmptyText));                                              \
    } while (false)

#endif // VERIFYEMPTY_H
