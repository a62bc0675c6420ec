#ifndef METRICSSERVER_H
#define METRICSSERVER_H

#include "netallow.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// The HTTP end of the metrics: GET /metrics answers the text that `page`
// gives, any other path 404, any other method 405; a client outside the
// allowed networks gets 403. It runs in the thread that makes it, on that
// thread's event loop, and never waits for a client: a request must arrive
// whole within RequestTimeoutMs and MaxRequestBytes, MaxClients are served
// at once (one more is answered 503), and every answer closes its connection.
class MetricsServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRequestBytes = 8192;
    static constexpr int RequestTimeoutMs = 10000;
    static constexpr int MaxClients = 64;

    MetricsServer(const NetAllow &allow, std::function<QByteArray()> page, QObject *parent = nullptr);

    // False, with a sentence, when the address cannot be listened on. Port 0
    // takes a free port; port() tells which.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return server.serverPort(); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    static void answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &body,
        const QByteArray &headers = QByteArray(), bool withBody = true);

    const NetAllow allow;
    const std::function<QByteArray()> page;
    int clients = 0; // before the server: its sockets count down as it goes
    QTcpServer server;
};

#endif // METRICSSERVER_H
