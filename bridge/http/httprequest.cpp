#include "httprequest.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// "gzip, br;q=0.5" as (token in lower case, weight) pairs; an item whose
// weight is not a number from 0 to 1 is left out.
std::vector<std::pair<QByteArray, double>> weighted(const QByteArray &field)
{
    std::vector<std::pair<QByteArray, double>> items;
    for (const QByteArray &item : field.split(',')) {
        const QByteArrayList parts = item.split(';');
        const QByteArray token = parts.first().trimmed().toLower();
        if (token.isEmpty())
            continue;
        double weight = 1;
        bool ok = true;
        for (int i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts.at(i).trimmed();
            if (parameter.startsWith("q=") || parameter.startsWith("Q="))
                weight = parameter.mid(2).toDouble(&ok);
        }
        if (ok && weight >= 0 && weight <= 1)
            items.emplace_back(token, weight);
    }
    return items;
}

} // namespace

bool HttpRequest::headIsWhole(const QByteArray &received)
{
    for (int end = received.indexOf('\n'); end >= 0; end = received.indexOf('\n', end + 1)) {
        if (received.mid(end + 1, 1) == "\n" || received.mid(end + 1, 2) == "\r\n")
            return true;
    }
    return false;
}

bool HttpRequest::parse(const QByteArray &head, HttpRequest *request)
{
    QByteArrayList lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArrayList words = lines.first().split(' ');
    if (words.size() != 3 || !words.at(2).startsWith("HTTP/1."))
        return false;
    request->requestMethod = words.at(0);
    request->requestPath = words.at(1).split('?').first();
    for (int i = 1; i < lines.size() && !lines.at(i).isEmpty(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
        const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
        QByteArray &field = request->headers[name];
        field = field.isEmpty() ? value : field + ", " + value;
    }
    return true;
}

bool HttpRequest::acceptsGzip() const
{
    double gzip = -1;
    double any = -1;
    for (const auto &item : weighted(header("accept-encoding"))) {
        if (item.first == "gzip" || item.first == "x-gzip")
            gzip = std::max(gzip, item.second);
        else if (item.first == "*")
            any = item.second;
    }
    return gzip >= 0 ? gzip > 0 : any > 0;
}

QByteArray HttpRequest::language(const QByteArrayList &offered) const
{
    auto items = weighted(header("accept-language"));
    std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    for (const auto &item : items) {
        if (item.second <= 0)
            break;
        if (item.first == "*")
            return offered.first();
        const QByteArray primary = item.first.split('-').first();
        if (offered.contains(primary))
            return primary;
    }
    return offered.first();
}
