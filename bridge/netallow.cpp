#include "netallow.h"

#include <QRegularExpression>
#include <QStringList>

NetAllow::NetAllow()
{
    networks
        = {QHostAddress::parseSubnet(QStringLiteral("127.0.0.0/8")), {QHostAddress(QHostAddress::LocalHostIPv6), 128}};
}

bool NetAllow::parse(const QString &text, QString *why)
{
    QList<QPair<QHostAddress, int>> parsed;
    // QHostAddress also reads "10.1" (as 10.0.0.1): an IPv4 address must have its four parts here.
    static const QRegularExpression ipv4(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    for (const QString &raw : text.split(QLatin1Char(','))) {
        const QString item = raw.trimmed();
        const QString base = item.section(QLatin1Char('/'), 0, 0);
        QPair<QHostAddress, int> network(QHostAddress(), -1);
        if (base.contains(QLatin1Char(':')) || ipv4.match(base).hasMatch()) {
            if (!item.contains(QLatin1Char('/'))) {
                network.first = QHostAddress(item); // a bare address: that one host
                network.second = network.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
            } else if (!QHostAddress(base).isNull()) {
                network = QHostAddress::parseSubnet(item);
            }
        }
        if (network.first.isNull() || network.second < 0 || !network.first.scopeId().isEmpty()) {
            *why = QStringLiteral("'%1' is not an address or a network (e.g. 127.0.0.1, 10.1.0.0/16 or fd00::/8)")
                       .arg(item);
            return false;
        }
        parsed.append(network);
    }
    networks = parsed;
    return true;
}

bool NetAllow::allows(const QHostAddress &client) const
{
    bool mapped = false;
    const quint32 ipv4 = client.toIPv4Address(&mapped);
    const QHostAddress address = mapped ? QHostAddress(ipv4) : client;
    for (const auto &network : networks) {
        if (address.isInSubnet(network))
            return true;
    }
    return false;
}

QString NetAllow::text() const
{
    QStringList items;
    for (const auto &network : networks)
        items.append(QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second));
    return items.join(QStringLiteral(", "));
}
