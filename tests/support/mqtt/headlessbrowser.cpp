#include "headlessbrowser.h"

#include "childprocess.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

QStringList common(const QString &profile, const QString &languages, int virtualMs)
{
    return {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
        QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"), QStringLiteral("--no-first-run"), QStringLiteral("--hide-scrollbars"),
        QStringLiteral("--user-data-dir=") + profile, QStringLiteral("--accept-lang=") + languages,
        QStringLiteral("--virtual-time-budget=%1").arg(virtualMs)};
}

} // namespace

QString HeadlessBrowser::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("chromium"));
}

QByteArray HeadlessBrowser::dom(const QString &url, const QString &languages, int virtualMs, QString *error)
{
    QTemporaryDir profile;
    return run(common(profile.path(), languages, virtualMs) << QStringLiteral("--dump-dom") << url, error);
}

bool HeadlessBrowser::screenshot(
    const QString &url, const QString &languages, int virtualMs, const QSize &size, const QString &file, QString *error)
{
    QTemporaryDir profile;
    run(common(profile.path(), languages, virtualMs)
            << QStringLiteral("--window-size=%1,%2").arg(size.width()).arg(size.height())
            << QStringLiteral("--screenshot=") + file << url,
        error);
    return QFileInfo(file).size() > 0;
}

QByteArray HeadlessBrowser::run(const QStringList &arguments, QString *error)
{
    if (program().isEmpty()) {
        *error = QStringLiteral("chromium is not installed (bash scripts/setup.sh test installs it)");
        return QByteArray();
    }
    ChildProcess browser;
    browser.start(program(), arguments);
    if (!browser.waitForFinished(WaitMs)) {
        browser.kill();
        browser.waitForFinished();
        *error = QStringLiteral("chromium did not end within %1 s").arg(WaitMs / 1000);
        return QByteArray();
    }
    if (browser.exitStatus() != QProcess::NormalExit || browser.exitCode() != 0) {
        *error = QStringLiteral("chromium: exit code %1: %2")
                     .arg(browser.exitCode())
                     .arg(QString::fromLocal8Bit(browser.readAllStandardError().right(2000)));
        return QByteArray();
    }
    return browser.readAllStandardOutput();
}
