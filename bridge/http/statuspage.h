#ifndef STATUSPAGE_H
#define STATUSPAGE_H

#include "httpserver.h"

class HttpRequest;

// The status page's files: HTML, CSS and a little JavaScript built into the
// program (bridge/http/status/, a Qt resource); the page fetches nothing
// from elsewhere, it asks the bridge's api/state for what it shows. In
// English, or in Chinese for a browser whose Accept-Language ranks Chinese
// above English.
class StatusPage
{
public:
    StatusPage();

    // The file at the request's path (/, /status.css, /status.js); false when there is none.
    bool answer(const HttpRequest &request, HttpAnswer *answer) const;

private:
    QByteArray html;
    QByteArray css;
    QByteArray script;
};

#endif // STATUSPAGE_H
