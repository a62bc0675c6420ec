#include "scraper.h"

#include "benchstats.h"

#include <QProcess>

#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Scraper {

QByteArray prometheusRequest(quint16 port)
{
    return "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nUser-Agent: Prometheus/2.42.0\r\nAccept: application/openmetrics-text;version=1.0.0,"
          "application/openmetrics-text;version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1\r\n"
          "Accept-Encoding: gzip\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
}

QByteArray curlRequest(quint16 port)
{
    return "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n";
}

Scrape fetch(quint16 port, const QByteArray &request, int readSize)
{
    Scrape scrape;
    const auto start = BenchStats::Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        if (fd >= 0)
            ::close(fd);
        return scrape;
    }
    std::vector<char> buffer(static_cast<size_t>(readSize));
    QByteArray head;
    qint64 bodyLeft = -1; // until the head is in
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            break;
        if (bodyLeft < 0) {
            head.append(buffer.data(), int(got));
            const int end = head.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            const QByteArray fields = head.left(end + 2).toLower();
            scrape.status = head.mid(9, 3).toInt();
            scrape.gzip = fields.contains("\r\ncontent-encoding: gzip\r\n");
            const QByteArray length = "\r\ncontent-length: ";
            const int at = fields.indexOf(length);
            bodyLeft = at < 0
                ? 0
                : fields.mid(at + length.size(), fields.indexOf('\r', at + 2) - at - length.size()).toLongLong();
            scrape.bodyBytes = int(bodyLeft);
            bodyLeft -= head.size() - end - 4;
        } else {
            bodyLeft -= got;
        }
        if (bodyLeft <= 0)
            break;
    }
    scrape.ms = BenchStats::msSince(start);
    ::close(fd);
    if (bodyLeft != 0)
        scrape.status = 0;
    return scrape;
}

Scrape curl(quint16 port, bool gzip)
{
    QStringList arguments{QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
        QStringLiteral("%{http_code} %{size_download} %{time_total}")};
    if (gzip) // the body as it comes, not unpacked: curl's time ends with its last byte
        arguments << QStringLiteral("-H") << QStringLiteral("Accept-Encoding: gzip");
    arguments << QStringLiteral("http://127.0.0.1:%1/metrics").arg(port);
    QProcess process;
    process.start(QStringLiteral("curl"), arguments);
    Scrape scrape;
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return scrape;
    const QList<QByteArray> fields = process.readAllStandardOutput().split(' ');
    if (fields.size() != 3)
        return scrape;
    scrape.status = fields.at(0).toInt();
    scrape.gzip = gzip;
    scrape.bodyBytes = fields.at(1).toInt();
    scrape.ms = fields.at(2).toDouble() * 1000.0;
    return scrape;
}

} // namespace Scraper
