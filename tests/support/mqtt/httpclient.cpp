#include "httpclient.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

// A body sent in chunks (HTTP/1.1, as Prometheus' API sends long answers) put together.
QByteArray unchunked(const QByteArray &data)
{
    QByteArray body;
    for (int at = 0;;) {
        const int lineEnd = data.indexOf("\r\n", at);
        bool ok = false;
        const int size = lineEnd < 0 ? 0 : data.mid(at, lineEnd - at).split(';').first().toInt(&ok, 16);
        if (!ok || size <= 0)
            return body;
        body += data.mid(lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
}

} // namespace

HttpReply HttpClient::get(quint16 port, const QByteArray &path)
{
    return send(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

HttpReply HttpClient::send(quint16 port, const QByteArray &request, const QHostAddress &from)
{
    HttpReply reply;
    QTcpSocket socket;
    if (!socket.bind(from))
        return reply;
    socket.connectToHost(
        from.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(WaitMs))
        return reply;
    socket.write(request);
    QByteArray data;
    const QDeadlineTimer deadline(WaitMs);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 1000)));
        data += socket.readAll();
    }
    data += socket.readAll();
    const int headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0 || !data.startsWith("HTTP/1.1 "))
        return reply;
    const QList<QByteArray> lines = data.left(headEnd).split('\n');
    reply.status = lines.first().mid(9, 3).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            reply.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    reply.body = data.mid(headEnd + 4);
    if (reply.headers.value("transfer-encoding") == "chunked")
        reply.body = unchunked(reply.body);
    return reply;
}
