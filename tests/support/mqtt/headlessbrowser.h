#ifndef HEADLESSBROWSER_H
#define HEADLESSBROWSER_H

#include <QByteArray>
#include <QSize>
#include <QString>

// Debian's chromium, headless, as a test's browser. Each call starts a fresh
// browser with a profile of its own in a temporary folder (no sandbox, as
// root needs; nothing fetched but the page), and ends it before it returns.
// The page's time is virtual: its timers fire as soon as nothing else is
// pending, while what it fetches comes over the real network.
class HeadlessBrowser
{
public:
    static constexpr int WaitMs = 120000;

    // The browser's program; empty when it is not installed.
    static QString program();
    // The DOM of `url` once the page has had `virtualMs` of its time, for a
    // browser that asks for `languages` (Accept-Language); empty when the
    // browser failed, and `error` says how.
    static QByteArray dom(const QString &url, const QString &languages, int virtualMs, QString *error);
    // The same page as a picture of `size` (PNG), written to `file`.
    static bool screenshot(const QString &url, const QString &languages, int virtualMs, const QSize &size,
        const QString &file, QString *error);

private:
    static QByteArray run(const QStringList &arguments, QString *error);
};

#endif // HEADLESSBROWSER_H
