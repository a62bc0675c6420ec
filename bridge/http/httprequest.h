#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include <QByteArray>
#include <QByteArrayList>
#include <QMap>

// The head of one HTTP/1 request, as the bridge's listener reads it: the
// request line and the header fields, and what the client takes of the
// encodings and languages it names (Accept-Encoding, Accept-Language with
// their q-values).
class HttpRequest
{
public:
    // True once `received` holds the whole head: its empty line has come.
    // Lines end in CR LF, or in a bare LF, which HTTP lets a server take as a line end.
    static bool headIsWhole(const QByteArray &received);
    // False when the head is not an HTTP/1 request.
    static bool parse(const QByteArray &head, HttpRequest *request);

    const QByteArray &method() const { return requestMethod; }
    // The path without its query.
    const QByteArray &path() const { return requestPath; }
    // A header field by its name in lower case; fields given twice are joined by ", ".
    QByteArray header(const QByteArray &name) const { return headers.value(name); }

    // Whether the client takes a gzip body (Accept-Encoding: gzip, x-gzip or *, not at q=0).
    bool acceptsGzip() const;
    // Of `offered` (primary language tags in lower case, the default first),
    // the one Accept-Language ranks highest; the default when it names none.
    QByteArray language(const QByteArrayList &offered) const;

private:
    QByteArray requestMethod;
    QByteArray requestPath;
    QMap<QByteArray, QByteArray> headers;
};

#endif // HTTPREQUEST_H
