#include "statuspage.h"

#include "httprequest.h"

#include <QFile>

namespace {

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/status/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The page's own files only, and no frame around it on another site's page.
const QByteArray pageHeaders = "Content-Security-Policy: default-src 'self'; img-src 'self' data:; "
                               "frame-ancestors 'none'\r\nX-Content-Type-Options: nosniff\r\n"
                               "Cache-Control: no-cache\r\n";

} // namespace

StatusPage::StatusPage()
{
    // The resource is in a static library: registered by hand.
    Q_INIT_RESOURCE(status);
    html = resource(QStringLiteral("status.html"));
    css = resource(QStringLiteral("status.css"));
    script = resource(QStringLiteral("status.js"));
}

bool StatusPage::answer(const HttpRequest &request, HttpAnswer *answer) const
{
    answer->headers = pageHeaders;
    if (request.path() == "/status.css") {
        answer->contentType = "text/css; charset=utf-8";
        answer->body = css;
    } else if (request.path() == "/status.js") {
        answer->contentType = "text/javascript; charset=utf-8";
        answer->body = script;
    } else if (request.path() == "/" || request.path() == "/index.html") {
        const QByteArray language = request.language({"en", "zh"}) == "zh" ? "zh-CN" : "en";
        answer->contentType = "text/html; charset=utf-8";
        answer->body = html;
        answer->body.replace("<html lang=\"en\">", "<html lang=\"" + language + "\">");
        answer->headers += "Content-Language: " + language + "\r\nVary: Accept-Language\r\n";
    } else {
        return false;
    }
    return true;
}
