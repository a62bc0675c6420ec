#include "modulelist.h"

#include "registers.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

namespace {

const QString expected
    = QStringLiteral("give module numbers 1..%1 and ranges such as 1,2,5-8, or all, or none").arg(ModuleCount);

// A module number: decimal digits only, 1..ModuleCount.
bool moduleNumber(const QString &text, int *number)
{
    if (text.isEmpty() || text.size() > 2)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *number = text.toInt();
    return *number >= 1 && *number <= ModuleCount;
}

} // namespace

bool ModuleList::parse(const QString &text, quint16 *mask, QString *error)
{
    const QString words = text.trimmed().toLower();
    if (words == QLatin1String("all")) {
        *mask = AllModulesMask;
        return true;
    }
    if (words == QLatin1String("none")) {
        *mask = 0;
        return true;
    }
    if (words.isEmpty()) {
        *error = QStringLiteral("no modules: ") + expected;
        return false;
    }
    quint16 result = 0;
    for (const QString &raw : words.split(QLatin1Char(','))) {
        const QString item = raw.trimmed();
        const int dash = item.indexOf(QLatin1Char('-'));
        int first = 0;
        int last = 0;
        const bool ok = dash < 0 ? moduleNumber(item, &first) && moduleNumber(item, &last)
                                 : moduleNumber(item.left(dash).trimmed(), &first)
                && moduleNumber(item.mid(dash + 1).trimmed(), &last) && first <= last;
        if (!ok) {
            *error = QStringLiteral("'%1' is not a module or range: %2").arg(item, expected);
            return false;
        }
        for (int module = first; module <= last; ++module)
            result |= quint16(1u << (module - 1));
    }
    *mask = result;
    return true;
}

QString ModuleList::text(quint16 mask)
{
    QStringList items;
    int module = 1;
    while (module <= ModuleCount) {
        if (!(mask & (1u << (module - 1)))) {
            ++module;
            continue;
        }
        int last = module;
        while (last < ModuleCount && (mask & (1u << last)))
            ++last;
        // Three or more in a row make a range; one or two are listed.
        if (last - module >= 2)
            items.append(QStringLiteral("%1-%2").arg(module).arg(last));
        else
            for (int m = module; m <= last; ++m)
                items.append(QString::number(m));
        module = last + 1;
    }
    return items.isEmpty() ? QStringLiteral("none") : items.join(QLatin1Char(','));
}

bool ModuleList::fromJson(const QJsonValue &value, quint16 *mask, QString *error)
{
    if (!value.isArray()) {
        *error = QStringLiteral("not a list of module numbers (e.g. [1, 2, 5])");
        return false;
    }
    quint16 result = 0;
    for (const QJsonValue &item : value.toArray()) {
        const double number = item.toDouble(-1);
        if (!item.isDouble() || number != int(number) || number < 1 || number > ModuleCount) {
            *error = QStringLiteral("a module number is 1..%1; the list holds %2")
                         .arg(ModuleCount)
                         .arg(item.isDouble() ? QString::number(number) : QStringLiteral("something else"));
            return false;
        }
        result |= quint16(1u << (int(number) - 1));
    }
    *mask = result;
    return true;
}
