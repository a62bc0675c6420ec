#include "output.h"

#include "exitstatus.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The first failure of each stream (an errno value), 0 while all went well.
int stdoutError = 0;
int stderrError = 0;

void put(FILE *stream, const QString &text)
{
    int &failure = stream == stdout ? stdoutError : stderrError;
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
    if ((std::fflush(stream) != 0 || !written) && failure == 0)
        failure = errno != 0 ? errno : EIO;
    // What did not go out is dropped: a later line must not carry it along.
    std::clearerr(stream);
}

} // namespace

QString Output::labelled(const char *label, const QString &value)
{
    return QString::fromUtf8(label).leftJustified(19) + value;
}

QString Output::systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
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

bool Output::resultsLost()
{
    return stdoutError != 0;
}

int Output::finish(int status)
{
    if (std::fflush(stdout) != 0 && stdoutError == 0)
        stdoutError = errno != 0 ? errno : EIO;
    if (stdoutError != 0)
        Output(false).error(
            QStringLiteral("the results could not be written to standard output: %1").arg(systemReason(stdoutError)));
    if (std::fflush(stderr) != 0 && stderrError == 0)
        stderrError = errno != 0 ? errno : EIO;
    if (status == ExitOk && (stdoutError != 0 || stderrError != 0))
        return ExitFile;
    return status;
}
