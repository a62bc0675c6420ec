#include "httpserver.h"

#include "httprequest.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>
#include <sys/uio.h>

namespace {

// Puts head and body into the socket's kernel buffer with one call, as far
// as it takes them now; the rest goes to the socket's own buffer. Qt's
// socket would copy an answer of a megabyte into its buffer first and write
// it on the next turn of the event loop.
void send(QTcpSocket *socket, const QByteArray &head, const QByteArray &body)
{
    qint64 sent = 0;
    if (socket->bytesToWrite() == 0) {
        iovec parts[2] = {{const_cast<char *>(head.constData()), size_t(head.size())},
            {const_cast<char *>(body.constData()), size_t(body.size())}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        ssize_t written = 0;
        do
            written = ::sendmsg(int(socket->socketDescriptor()), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        while (written < 0 && errno == EINTR);
        sent = std::max<qint64>(written, 0); // an error shows on the socket's own write below
    }
    if (sent < head.size())
        socket->write(head.constData() + sent, head.size() - sent);
    const qint64 bodySent = std::max<qint64>(sent - head.size(), 0);
    if (bodySent < body.size())
        socket->write(body.constData() + bodySent, body.size() - bodySent);
}

} // namespace

HttpServer::HttpServer(const NetAllow &allow, Handler handler, QObject *parent)
    : QObject(parent), allow(allow), handler(std::move(handler))
{
    connect(&server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (server.listen(address, port))
        return true;
    *error = QStringLiteral("http: cannot listen on %1 port %2: %3")
                 .arg(address.toString())
                 .arg(port)
                 .arg(server.errorString());
    return false;
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The head and what follows it in one packet, whatever the client acknowledges.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!allow.allows(socket->peerAddress())) {
            answer(socket,
                {"403 Forbidden", "text/plain; charset=utf-8",
                    QStringLiteral("%1 is not among the networks of [http] allow\n")
                        .arg(socket->peerAddress().toString())
                        .toUtf8(),
                    QByteArray()});
            continue;
        }
        if (clients >= MaxClients) {
            answer(socket,
                {"503 Service Unavailable", "text/plain; charset=utf-8", "too many clients at once; try again\n",
                    QByteArray()});
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

void HttpServer::onReadyRead(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray received = socket->property("request").toByteArray();
    received += socket->read(MaxRequestBytes + 1 - received.size());
    if (!HttpRequest::headIsWhole(received)) {
        if (received.size() > MaxRequestBytes)
            answer(socket,
                {"431 Request Header Fields Too Large", "text/plain; charset=utf-8",
                    "the request is larger than 8 KiB\n", QByteArray()});
        else
            socket->setProperty("request", received);
        return;
    }
    HttpRequest request;
    if (!HttpRequest::parse(received, &request)) {
        answer(socket, {"400 Bad Request", "text/plain; charset=utf-8", "not an HTTP/1 request\n", QByteArray()});
        return;
    }
    answer(socket, request);
}

void HttpServer::answer(QTcpSocket *socket, const HttpRequest &request)
{
    const bool head = request.method() == "HEAD";
    if (request.method() != "GET" && !head) {
        answer(socket,
            {"405 Method Not Allowed", "text/plain; charset=utf-8",
                "this page is read only: GET (and HEAD) are served here\n", "Allow: GET, HEAD\r\n"});
        return;
    }
    HttpAnswer reply = handler(request);
    if (reply.body.size() >= GzipMinBytes) {
        reply.headers += "Vary: Accept-Encoding\r\n";
        const QByteArray compressed = request.acceptsGzip() ? gzip.encode(reply.body) : QByteArray();
        if (!compressed.isEmpty()) {
            reply.body = compressed;
            reply.headers += "Content-Encoding: gzip\r\n";
        }
    }
    answer(socket, reply, !head);
}

void HttpServer::answer(QTcpSocket *socket, const HttpAnswer &answer, bool withBody)
{
    socket->setProperty("answered", true); // what comes after is read and dropped
    const QByteArray head = "HTTP/1.1 " + answer.status + "\r\nContent-Type: " + answer.contentType + "\r\n"
        + answer.headers + "Content-Length: " + QByteArray::number(answer.body.size())
        + "\r\nConnection: close\r\n\r\n";
    send(socket, head, withBody ? answer.body : QByteArray());
    socket->disconnectFromHost(); // at once, or once the socket's buffer is written
}
