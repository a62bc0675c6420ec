#include "csvlog.h"

#include "statusjson.h"

#include <QFileInfo>
#include <QJsonArray>

namespace {

const QString errorColumn = QStringLiteral("error");

QString field(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(value.toDouble(), 'g', 15);
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        // Module numbers, separated by blanks: no quoting needed.
        QStringList numbers;
        for (const QJsonValue &item : value.toArray())
            numbers << field(item);
        return numbers.join(QLatin1Char(' '));
    }
    default:
        return QString(); // null (an open sensor's temperature) and missing keys
    }
}

QString quoted(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString escaped = text;
    escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QByteArray header()
{
    return CsvLog::columns().join(QLatin1Char(',')).toUtf8() + '\n';
}

} // namespace

QStringList CsvLog::columns()
{
    return StatusJson::keys() << errorColumn;
}

QByteArray CsvLog::row(const QJsonObject &reading)
{
    QStringList fields;
    for (const QString &column : columns())
        fields << quoted(field(reading.value(column)));
    return fields.join(QLatin1Char(',')).toUtf8() + '\n';
}

bool CsvLog::open(const QString &path, QString *error)
{
    file.setFileName(path);
    QByteArray start;
    bool endsWithNewline = true;
    if (QFileInfo(path).isFile() && QFileInfo(path).size() > 0) {
        QFile existing(path);
        if (!existing.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: cannot be read: %2").arg(path, existing.errorString());
            return false;
        }
        start = existing.readLine(64 * 1024);
        if (start != header()) {
            *error = QStringLiteral("%1 holds something else than this program's CSV log (its first line differs): "
                                    "nothing was written to it; choose another file")
                         .arg(path);
            return false;
        }
        existing.seek(existing.size() - 1);
        endsWithNewline = existing.read(1) == "\n";
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("%1: cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    // A row cut short by a full disk in an earlier run ends here, so that the next starts on a line of its own.
    const QByteArray first = start.isEmpty() ? header() : (endsWithNewline ? QByteArray() : QByteArray("\n"));
    if (!first.isEmpty() && file.write(first) != first.size()) {
        *error = QStringLiteral("%1: cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool CsvLog::write(const QJsonObject &reading)
{
    const QByteArray bytes = row(reading);
    return file.write(bytes) == bytes.size();
}
