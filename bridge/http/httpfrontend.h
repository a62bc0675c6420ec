#ifndef HTTPFRONTEND_H
#define HTTPFRONTEND_H

#include "frontend.h"
#include "metricspage.h"
#include "statejson.h"
#include "statuspage.h"

#include <memory>

class HttpRequest;
class HttpServer;
struct HttpAnswer;

// The bridge's HTTP listener ([http]), read only: the status page at /, the
// hub's state as JSON at /api/state, and the metrics at /metrics, made from
// the hub's state and every front-end's own families.
class HttpFrontEnd : public FrontEnd
{
    Q_OBJECT

public:
    explicit HttpFrontEnd(LineHub &hub, QObject *parent = nullptr);
    ~HttpFrontEnd() override;

    // The front-ends whose families follow the hub's (this one among them is harmless).
    void setFrontEnds(const QList<const FrontEnd *> &frontEnds);

    QString name() const override { return QStringLiteral("HTTP"); }
    bool listen(QString *error) override;
    bool start(QString *) override { return true; }
    bool stop() override;

    // What a GET of the request's path answers.
    HttpAnswer answer(const HttpRequest &request) const;

private:
    QList<const FrontEnd *> families;
    std::unique_ptr<MetricsPage> metrics;
    const StateJson state;
    const StatusPage page;
    std::unique_ptr<HttpServer> server;
};

#endif // HTTPFRONTEND_H
