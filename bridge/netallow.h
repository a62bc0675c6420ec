#ifndef NETALLOW_H
#define NETALLOW_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// The client networks a listening front-end of the bridge takes connections
// from: an `allow=` list of addresses and CIDR networks, separated by commas
// ("127.0.0.1, 10.1.0.0/16, fd00::/8"). An address without a prefix length is
// that one host. Without a list, loopback only (127.0.0.0/8 and ::1).
//
// An IPv4 client that reaches an IPv6 socket shows as ::ffff:a.b.c.d; it is
// matched as the IPv4 address it is.
class NetAllow
{
public:
    NetAllow(); // loopback only

    // False, with a sentence in `why`, when an item is neither an address nor
    // a network; the list is then left as it was.
    bool parse(const QString &text, QString *why);
    bool allows(const QHostAddress &client) const;
    // The list as given, normalised ("127.0.0.0/8, ::1/128").
    QString text() const;

private:
    QList<QPair<QHostAddress, int>> networks;
};

#endif // NETALLOW_H
