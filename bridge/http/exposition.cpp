#include "exposition.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace {

const char *typeName(Exposition::Type type)
{
    switch (type) {
    case Exposition::Gauge:
        return "gauge";
    case Exposition::Counter:
        return "counter";
    case Exposition::Histogram:
        return "histogram";
    }
    return "untyped";
}

} // namespace

Exposition::Exposition(QByteArray memory) : out(std::move(memory))
{
    out.resize(0); // keeps the memory while reserve() had asked for it
}

void Exposition::family(const char *name, Type type, const char *help)
{
    QByteArray text(help);
    text.replace('\\', "\\\\").replace('\n', "\\n");
    out.append("# HELP ").append(name).append(' ').append(text).append('\n');
    out.append("# TYPE ").append(name).append(' ').append(typeName(type)).append('\n');
}

void Exposition::sampleStart(const char *name, const QByteArray &labels)
{
    out.append(name);
    if (!labels.isEmpty())
        out.append('{').append(labels).append('}');
    out.append(' ');
}

void Exposition::sample(const char *name, const QByteArray &labels, double value)
{
    sampleStart(name, labels);
    out.append(number(value)).append('\n');
}

void Exposition::sample(const char *name, const QByteArray &labels, quint64 value)
{
    sampleStart(name, labels);
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, int(end - buffer)).append('\n');
}

QByteArray Exposition::labels(Labels labels)
{
    QByteArray text;
    for (const auto &label : labels)
        text = withLabel(text, label.first, label.second);
    return text;
}

QByteArray Exposition::withLabel(const QByteArray &labels, const char *name, const QString &value)
{
    QByteArray text = labels;
    if (!text.isEmpty())
        text.append(',');
    return text.append(name).append("=\"").append(escapeLabelValue(value)).append('"');
}

QByteArray Exposition::escapeLabelValue(const QString &value)
{
    QByteArray text = value.toUtf8();
    return text.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
}

QByteArray Exposition::number(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QByteArrayLiteral("+Inf") : QByteArrayLiteral("-Inf");
    char buffer[32];
    // The shortest text that reads back as this double: 25.3, not 25.300000000000001.
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return QByteArray(buffer, int(end - buffer));
}

QByteArray Exposition::take()
{
    QByteArray text;
    text.swap(out);
    return text;
}
