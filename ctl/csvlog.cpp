#include "csvlog.h"

#include "output.h"
#include "statusjson.h"

#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

CsvLog::~CsvLog()
{
    if (fd >= 0)
        ::close(fd);
}

bool CsvLog::open(const QString &path, QString *error, QString *notice)
{
    notice->clear();
    const QByteArray name = QFile::encodeName(path);
    // Opened without Qt's buffering and seeking: a pipe, a terminal or /dev/full work as they are.
    fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = QStringLiteral("%1: cannot be written: %2").arg(path, Output::systemReason(errno));
        return false;
    }
    struct stat info
    {
    };
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    wholeSize = regular ? qint64(info.st_size) : 0;
    if (regular && info.st_size > 0) {
        QFile existing(path);
        if (!existing.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: cannot be read: %2").arg(path, existing.errorString());
            return false;
        }
        if (existing.readLine(64 * 1024) != header()) {
            *error = QStringLiteral("%1 holds something else than this program's CSV log (its first line differs): "
                                    "nothing was written to it; choose another file")
                         .arg(path);
            return false;
        }
        // A row an earlier run could not finish (a full disk, a crash) is cut
        // off, so that every row has all its columns.
        const qint64 size = existing.size();
        const qint64 tail = std::min<qint64>(size, 64 * 1024);
        existing.seek(size - tail);
        const QByteArray end = existing.read(tail);
        if (!end.endsWith('\n')) {
            const int lastEnd = end.lastIndexOf('\n');
            const qint64 whole = lastEnd < 0 ? 0 : size - tail + lastEnd + 1;
            if (lastEnd < 0 || ::ftruncate(fd, whole) != 0) {
                *error = QStringLiteral("%1: its last row is cut short and cannot be removed (%2): nothing was "
                                        "written to it; choose another file")
                             .arg(path,
                                 lastEnd < 0 ? QStringLiteral("no whole row before it") : Output::systemReason(errno));
                return false;
            }
            *notice = QStringLiteral("%1: its last row was cut short in an earlier run (%2 bytes without a line end); "
                                     "it was removed, the log goes on after the last whole row")
                          .arg(path)
                          .arg(size - whole);
            wholeSize = whole;
        }
    }
    if (wholeSize == 0 && !writeWhole(header())) {
        *error = QStringLiteral("%1: cannot be written: %2").arg(path, reason);
        return false;
    }
    return true;
}

bool CsvLog::write(const QJsonObject &reading)
{
    return writeWhole(row(reading));
}

bool CsvLog::writeWhole(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            reason = Output::systemReason(n < 0 ? errno : ENOSPC);
            // Whatever part of the row went in is taken back: the file ends on a whole row.
            if (done > 0 && ::ftruncate(fd, wholeSize) != 0)
                reason += QStringLiteral("; its last row is cut short (%1)").arg(Output::systemReason(errno));
            return false;
        }
        done += n;
    }
    wholeSize += done;
    return true;
}
