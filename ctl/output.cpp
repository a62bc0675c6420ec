#include "output.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void put(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

QString Output::labelled(const char *label, const QString &value)
{
    return QString::fromUtf8(label).leftJustified(19) + value;
}

void Output::line(const QString &text)
{
    put(stdout, text + QLatin1Char('\n'));
}

void Output::object(const QJsonObject &object)
{
    put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void Output::error(const QString &text)
{
    put(stderr, QStringLiteral("vortanix-ctl: ") + text + QLatin1Char('\n'));
}

void Output::note(const QString &text)
{
    put(stderr, text + QLatin1Char('\n'));
}

void Output::progress(const QString &text)
{
    put(stderr, text);
}
