#ifndef VALUETEXT_H
#define VALUETEXT_H

#include <QList>
#include <QString>

// Numbers, on/off words and lists as a user types them (vortanix-ctl's command
// line, the bridge's command payloads), checked strictly: ASCII decimal digits only (no sign, no blanks, no full-width
// digits, no exponent), never clamped, never wrapped. An error says what was
// wrong and which values are allowed, after "<what>: " when a what is given.
// A list is a set: a number given twice (1-3,2-4) counts once.
class ValueText
{
public:
    // A whole number within low..high; `what` names it in the error
    // ("power: 1001 is out of range 0..1000").
    static bool number(
        const QString &text, qint64 low, qint64 high, const QString &what, qint64 *value, QString *error);
    // Numbers and ranges within low..high: "1,2,5-8". Ascending, each once.
    static bool list(const QString &text, int low, int high, const QString &what, QList<int> *values, QString *error);
    // On or off: on, true, yes or 1; off, false, no or 0; in any case. `what` names it in the error.
    static bool onOff(const QString &text, const QString &what, bool *on, QString *error);
    // The words onOff() takes, for help texts and errors.
    static QString onOffWords();
    // Modules 1..12 as a mask: a list, "all" or "none".
    static bool modules(const QString &text, quint16 *mask, QString *error);
    // Numbers as text, runs of three or more as ranges: "1 2 5-8", or "none".
    static QString ranges(const QList<int> &numbers);
};

#endif // VALUETEXT_H
