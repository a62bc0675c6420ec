#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QMap>

// One HTTP/1.1 exchange over a fresh TCP connection, as a test sends it: the
// request goes out as given (any method, any path, or bytes that are no HTTP
// at all) and the answer is read until the server closes the connection.
struct HttpReply
{
    int status = 0; // 0: no answer (refused, closed without one, or the wait ran out)
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body; // put together when it came in chunks
};

class HttpClient
{
public:
    static constexpr int WaitMs = 30000;

    // GET `path` from 127.0.0.1:port.
    static HttpReply get(quint16 port, const QByteArray &path);
    // `request` as it stands, from the local address `from` (any loopback
    // address) to the loopback address of its kind (127.0.0.1 or ::1).
    static HttpReply send(quint16 port, const QByteArray &request, const QHostAddress &from = QHostAddress::LocalHost);
};

#endif // HTTPCLIENT_H
