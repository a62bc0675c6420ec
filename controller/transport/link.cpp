#include "link.h"

Link::~Link() = default;

Link::Echo Link::takeEcho(const QByteArray &, int, QByteArray *)
{
    return Echo::NotExpected;
}

QString Link::mismatch() const
{
    return QString();
}
