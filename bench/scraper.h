#ifndef SCRAPER_H
#define SCRAPER_H

#include <QByteArray>

// One scrape as a scraper makes it: a new TCP connection to 127.0.0.1:port,
// the request, and the answer read with reads of one size (curl reads 16 KiB
// at a time, Prometheus' gzip reader 4 KiB) until its body is whole (its
// Content-Length); timed from before the connect to the last byte, as curl's
// time_total is.
struct Scrape
{
    int status = 0; // 0: no answer
    bool gzip = false; // Content-Encoding: gzip
    int bodyBytes = 0;
    double ms = 0;
};

namespace Scraper {

// Prometheus' request: its Accept header, and gzip.
QByteArray prometheusRequest(quint16 port);
// curl's plain request.
QByteArray curlRequest(quint16 port);
Scrape fetch(quint16 port, const QByteArray &request, int readSize);
// The same by the curl program (curl -w %{time_total}): an empty Scrape without curl.
Scrape curl(quint16 port, bool gzip);

} // namespace Scraper

#endif // SCRAPER_H
