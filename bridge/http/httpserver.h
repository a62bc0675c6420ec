#ifndef HTTPSERVER_H
#define HTTPSERVER_H

#include "gzipencoder.h"
#include "netallow.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <functional>

class HttpRequest;
class QTcpSocket;

// What a path answers: its status, its type and body, and header lines of
// its own (each ending in CR LF).
struct HttpAnswer
{
    QByteArray status = "200 OK";
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    QByteArray headers;
};

// The bridge's HTTP listener, read only: GET and HEAD are answered as the
// handler says (any other method gets 405), a client outside the allowed
// networks 403. It runs in the thread that makes it, on that thread's event
// loop, and never waits for a client: a request must arrive whole within
// RequestTimeoutMs and MaxRequestBytes, MaxClients are served at once (one
// more is answered 503), and every answer closes its connection. A body of
// GzipMinBytes or more goes out gzip-compressed to a client that takes it.
//
// An answer goes to the kernel as soon as it is made, head and body in one
// call and without a copy: a scraper has it as fast as the loopback or the
// network carries it. Only what the kernel cannot take yet (a slow client)
// waits in the socket's buffer, which the event loop writes out.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRequestBytes = 8192;
    static constexpr int RequestTimeoutMs = 10000;
    static constexpr int MaxClients = 64;
    static constexpr int GzipMinBytes = 1024;
    using Handler = std::function<HttpAnswer(const HttpRequest &)>;

    HttpServer(const NetAllow &allow, Handler handler, QObject *parent = nullptr);

    // False, with a sentence, when the address cannot be listened on. Port 0
    // takes a free port; port() tells which.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return server.serverPort(); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const HttpAnswer &answer, bool withBody = true);
    void answer(QTcpSocket *socket, const HttpRequest &request);

    const NetAllow allow;
    const Handler handler;
    GzipEncoder gzip;
    int clients = 0; // before the server: its sockets count down as it goes
    QTcpServer server;
};

#endif // HTTPSERVER_H
