#include "linefacts.h"

#include <QStringList>

namespace LineFacts {

const QList<int> &bauds()
{
    static const QList<int> rates{115200, 57600, 19200, 9600};
    return rates;
}

bool isBaud(int rate)
{
    return bauds().contains(rate);
}

QString baudsText()
{
    QStringList names;
    for (int rate : bauds())
        names << QString::number(rate);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

const QList<int> &portRates()
{
    static const QList<int> rates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return rates;
}

QString addressRangeText()
{
    return QStringLiteral("%1..%2").arg(AddressMin).arg(AddressMax);
}

} // namespace LineFacts
