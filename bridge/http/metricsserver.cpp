#include "metricsserver.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

const QByteArray contentType = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");

// True once the request's head is whole: its empty line has come. Lines end
// in CR LF, or in a bare LF, which HTTP lets a server take as a line end.
bool headIsWhole(const QByteArray &request)
{
    for (int end = request.indexOf('\n'); end >= 0; end = request.indexOf('\n', end + 1)) {
        if (request.mid(end + 1, 1) == "\n" || request.mid(end + 1, 2) == "\r\n")
            return true;
    }
    return false;
}

} // namespace

MetricsServer::MetricsServer(const NetAllow &allow, std::function<QByteArray()> page, QObject *parent)
    : QObject(parent), allow(allow), page(std::move(page))
{
    connect(&server, &QTcpServer::newConnection, this, &MetricsServer::onNewConnection);
}

bool MetricsServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (server.listen(address, port))
        return true;
    *error = QStringLiteral("metrics: cannot listen on %1 port %2: %3")
                 .arg(address.toString())
                 .arg(port)
                 .arg(server.errorString());
    return false;
}

void MetricsServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (!allow.allows(socket->peerAddress())) {
            answer(socket, "403 Forbidden",
                QStringLiteral("%1 is not among the networks of [metrics] allow\n")
                    .arg(socket->peerAddress().toString())
                    .toUtf8());
            continue;
        }
        if (clients >= MaxClients) {
            answer(socket, "503 Service Unavailable", "too many clients at once; try again\n");
            continue;
        }
        ++clients;
        connect(socket, &QObject::destroyed, this, [this] { --clients; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        // A client that sends nothing, or never reads its answer, is let go.
        QTimer::singleShot(RequestTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
    }
}

void MetricsServer::onReadyRead(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray request = socket->property("request").toByteArray();
    request += socket->read(MaxRequestBytes + 1 - request.size());
    if (!headIsWhole(request)) {
        if (request.size() > MaxRequestBytes)
            answer(socket, "431 Request Header Fields Too Large", "the request is larger than 8 KiB\n");
        else
            socket->setProperty("request", request);
        return;
    }
    QByteArray requestLine = request.left(request.indexOf('\n'));
    if (requestLine.endsWith('\r'))
        requestLine.chop(1);
    const QList<QByteArray> words = requestLine.split(' ');
    if (words.size() != 3 || !words.at(2).startsWith("HTTP/1.")) {
        answer(socket, "400 Bad Request", "not an HTTP/1 request\n");
        return;
    }
    const QByteArray &method = words.at(0);
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        answer(socket, "405 Method Not Allowed", "only GET (and HEAD) are served here\n", "Allow: GET, HEAD\r\n");
        return;
    }
    const QByteArray path = words.at(1).split('?').first();
    if (path != "/metrics") {
        answer(socket, "404 Not Found", "the metrics are at /metrics\n", QByteArray(), !head);
        return;
    }
    answer(socket, "200 OK", page(), "Content-Type: " + contentType + "\r\n", !head);
}

void MetricsServer::answer(
    QTcpSocket *socket, const QByteArray &status, const QByteArray &body, const QByteArray &headers, bool withBody)
{
    socket->setProperty("answered", true); // what comes after is read and dropped
    QByteArray response = "HTTP/1.1 " + status + "\r\n" + headers;
    if (!headers.contains("Content-Type"))
        response += "Content-Type: text/plain; charset=utf-8\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (withBody)
        response += body;
    socket->write(response);
    socket->disconnectFromHost(); // after what is written has gone out
}
