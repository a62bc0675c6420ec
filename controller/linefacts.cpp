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

QString addressRangeText()
{
    return QStringLiteral("%1..%2").arg(AddressMin).arg(AddressMax);
}

} // namespace LineFacts
