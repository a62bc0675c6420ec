#include "valuetext.h"

#include "registers.h"

#include <QStringList>

#include <algorithm>

namespace {

bool isAsciiDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString rangeText(qint64 low, qint64 high)
{
    return QStringLiteral("%1..%2").arg(low).arg(high);
}

// "what: " before an error, when there is a what.
QString named(const QString &what)
{
    return what.isEmpty() ? QString() : what + QStringLiteral(": ");
}

} // namespace

bool ValueText::number(const QString &text, qint64 low, qint64 high, const QString &what, qint64 *value, QString *error)
{
    if (!isAsciiDigits(text)) {
        *error = QStringLiteral("%1'%2' is not a whole number %3 (digits 0-9 only)")
                     .arg(named(what), text, rangeText(low, high));
        return false;
    }
    // Leading zeros are no value; digits beyond what any range here needs
    // are out of range, never wrapped.
    int first = 0;
    while (first < text.size() - 1 && text.at(first) == QLatin1Char('0'))
        ++first;
    bool ok = false;
    const qint64 parsed = text.size() - first > 15 ? -1 : text.mid(first).toLongLong(&ok);
    if (!ok || parsed < low || parsed > high) {
        *error = QStringLiteral("%1%2 is out of range %3").arg(named(what), text, rangeText(low, high));
        return false;
    }
    *value = parsed;
    return true;
}

bool ValueText::onOff(const QString &text, const QString &what, bool *on, QString *error)
{
    const QString word = text.toLower();
    for (const char *yes : {"on", "true", "yes", "1"}) {
        if (word == QLatin1String(yes)) {
            *on = true;
            return true;
        }
    }
    for (const char *no : {"off", "false", "no", "0"}) {
        if (word == QLatin1String(no)) {
            *on = false;
            return true;
        }
    }
    *error = QStringLiteral("%1'%2' is neither on nor off (%3)").arg(named(what), text, onOffWords());
    return false;
}

QString ValueText::onOffWords()
{
    return QStringLiteral("on, true, yes or 1; off, false, no or 0; in any case");
}

bool ValueText::list(const QString &text, int low, int high, const QString &what, QList<int> *values, QString *error)
{
    const QString form = QStringLiteral("%1'%2' is not a list of numbers %3 such as 1,2,5-8")
                             .arg(named(what), text, rangeText(low, high));
    QList<int> numbers;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char('-'));
        if (ends.size() > 2 || ends.contains(QString())) {
            *error = form;
            return false;
        }
        qint64 first = 0;
        qint64 last = 0;
        if (!number(ends.first(), low, high, what, &first, error)
            || !number(ends.last(), low, high, what, &last, error))
            return false;
        if (last < first) {
            *error = QStringLiteral("%1the range %2 runs backwards (write %3-%4)")
                         .arg(named(what), item)
                         .arg(last)
                         .arg(first);
            return false;
        }
        for (qint64 n = first; n <= last; ++n) {
            if (!numbers.contains(int(n)))
                numbers.append(int(n));
        }
    }
    std::sort(numbers.begin(), numbers.end());
    *values = numbers;
    return true;
}

bool ValueText::modules(const QString &text, quint16 *mask, QString *error)
{
    if (text == QLatin1String("all")) {
        *mask = AllModulesMask;
        return true;
    }
    if (text == QLatin1String("none")) {
        *mask = 0;
        return true;
    }
    QList<int> numbers;
    if (!list(text, 1, ModuleCount, QStringLiteral("modules"), &numbers, error)) {
        error->append(QStringLiteral(", or all, or none"));
        return false;
    }
    quint16 bits = 0;
    for (int n : numbers)
        bits |= quint16(1u << (n - 1));
    *mask = bits;
    return true;
}

QString ValueText::ranges(const QList<int> &numbers)
{
    if (numbers.isEmpty())
        return QStringLiteral("none");
    QStringList parts;
    for (int i = 0; i < numbers.size();) {
        int j = i;
        while (j + 1 < numbers.size() && numbers.at(j + 1) == numbers.at(j) + 1)
            ++j;
        if (j - i >= 2) {
            parts << QStringLiteral("%1-%2").arg(numbers.at(i)).arg(numbers.at(j));
        } else {
            for (int k = i; k <= j; ++k)
                parts << QString::number(numbers.at(k));
        }
        i = j + 1;
    }
    return parts.join(QLatin1Char(' '));
}
