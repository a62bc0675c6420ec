#include "httpfrontend.h"

#include "httprequest.h"
#include "httpserver.h"
#include "linehub.h"
#include "log.h"

HttpFrontEnd::HttpFrontEnd(LineHub &hub, QObject *parent)
    : FrontEnd(hub, parent), metrics(std::make_unique<MetricsPage>(hub, QList<const FrontEnd *>())), state(hub)
{
    // Lines added or removed: the metrics' labels follow (the state and the page read the hub as it is).
    connect(&hub, &LineHub::reconfigured, this, [this] { setFrontEnds(families); });
}

HttpFrontEnd::~HttpFrontEnd() = default;

void HttpFrontEnd::setFrontEnds(const QList<const FrontEnd *> &frontEnds)
{
    families = frontEnds;
    metrics = std::make_unique<MetricsPage>(hub, frontEnds);
}

bool HttpFrontEnd::listen(QString *error)
{
    const HttpConfig &config = hub.config().http;
    server = std::make_unique<HttpServer>(config.allow, [this](const HttpRequest &request) { return answer(request); });
    if (!server->listen(config.address, quint16(config.port), error))
        return false;
    const int port = server->port();
    logLine(QStringLiteral("status page at %1, its state at %2, metrics at %3 for clients from %4")
                .arg(config.url(port, "/"), config.url(port, "/api/state"), config.url(port, "/metrics"),
                    config.allow.text()));
    return true;
}

bool HttpFrontEnd::stop()
{
    server.reset();
    return true;
}

HttpAnswer HttpFrontEnd::answer(const HttpRequest &request) const
{
    HttpAnswer answer;
    if (request.path() == "/metrics") {
        answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
        answer.body = metrics->exposition();
    } else if (request.path() == "/api/state") {
        answer.contentType = "application/json";
        answer.body = state.document();
        answer.headers = "Cache-Control: no-store\r\n";
    } else if (!page.answer(request, &answer)) {
        answer.status = "404 Not Found";
        answer.body = "not here: the status page is at /, its state at /api/state, the metrics at /metrics\n";
    }
    return answer;
}
