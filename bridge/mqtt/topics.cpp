#include "topics.h"

#include <QStringList>

Topics::Topics(const QString &prefix, const QString &discoveryPrefix, const QString &clientId)
    : prefix(prefix), discoveryPrefix(discoveryPrefix), clientId(clientId)
{
}

QString Topics::controller(const QString &id, const QString &leaf) const
{
    return QStringLiteral("%1/%2/%3").arg(prefix, id, leaf);
}

QString Topics::command(const QString &id, const QString &name) const
{
    return QStringLiteral("%1/%2/set/%3").arg(prefix, id, name);
}

QString Topics::bridgeAvailability() const
{
    return QStringLiteral("%1/bridge/%2/availability").arg(prefix, clientId);
}

QString Topics::uniqueId(const QString &id) const
{
    return QString(prefix).replace(QLatin1Char('/'), QLatin1Char('_')) + QLatin1Char('_') + id;
}

QString Topics::discovery(const QString &component, const QString &objectId) const
{
    return QStringLiteral("%1/%2/%3/%4/config").arg(discoveryPrefix, component, clientId, objectId);
}

bool Topics::isDiscovery(const QString &topic) const
{
    const QStringList levels = topic.split(QLatin1Char('/'));
    const int base = discoveryPrefix.count(QLatin1Char('/')) + 1;
    return levels.size() == base + 4 && topic.startsWith(discoveryPrefix + QLatin1Char('/'))
        && levels.at(base + 1) == clientId && levels.last() == QLatin1String("config");
}

bool Topics::parseCommand(const QString &topic, QString *id, QString *name) const
{
    if (!topic.startsWith(prefix + QLatin1Char('/')))
        return false;
    const QStringList levels = topic.mid(prefix.size() + 1).split(QLatin1Char('/'));
    if (levels.size() != 3 || levels.at(1) != QLatin1String("set"))
        return false;
    *id = levels.at(0);
    *name = levels.at(2);
    return true;
}
