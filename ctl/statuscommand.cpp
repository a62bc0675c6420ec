#include "statuscommand.h"

#include "commandline.h"
#include "csvlog.h"
#include "devicemodel.h"
#include "exitstatus.h"
#include "output.h"
#include "reconnectbackoff.h"
#include "session.h"
#include "statusjson.h"
#include "stoprequest.h"
#include "valuetext.h"

#include <QElapsedTimer>

#include <QJsonArray>
#include <algorithm>

namespace {

QJsonObject failedReading(const QDateTime &time, int address, const QString &error)
{
    return QJsonObject{{QStringLiteral("time"), StatusJson::timeText(time)}, {QStringLiteral("address"), address},
        {QStringLiteral("error"), error}};
}

struct Plan
{
    qint64 count = 1; // -1: until stopped
    qint64 intervalMs = StatusCommand::DefaultIntervalMs;
    bool repeated = false;
    QString csvPath;
};

bool makePlan(const CommandLine &commandLine, Plan *plan, QString *error)
{
    const QString interval = QStringLiteral("interval");
    const QString count = QStringLiteral("count");
    if (commandLine.has(interval)
        && !ValueText::number(commandLine.value(interval), 0, StatusCommand::IntervalMaxMs,
            QStringLiteral("--interval"), &plan->intervalMs, error))
        return false;
    if (commandLine.has(count)
        && !ValueText::number(
            commandLine.value(count), 1, StatusCommand::CountMax, QStringLiteral("--count"), &plan->count, error))
        return false;
    if (commandLine.has(interval) && !commandLine.has(count))
        plan->count = -1;
    plan->repeated = commandLine.has(interval) || commandLine.has(count);
    plan->csvPath = commandLine.value(QStringLiteral("csv"));
    if (commandLine.has(QStringLiteral("csv")) && plan->csvPath.isEmpty()) {
        *error = QStringLiteral("--csv needs a file name");
        return false;
    }
    return true;
}

} // namespace

QStringList StatusCommand::textLines(const QJsonObject &reading)
{
    QStringList lines{Output::labelled("time", reading.value(QStringLiteral("time")).toString())};
    for (const StatusField &field : DeviceModel::statusFields()) {
        if (field.text)
            lines << Output::labelled(field.label.toUtf8().constData(), field.text(reading));
    }
    return lines;
}

int StatusCommand::run(const CommandLine &commandLine, Output &out)
{
    Session session(commandLine, out);
    Plan plan;
    QString error;
    if (const int status = session.checkOptions())
        return status;
    if (!makePlan(commandLine, &plan, &error)) {
        out.error(error);
        return ExitUsage;
    }
    if (const int status = session.open())
        return status;
    CsvLog csv;
    QString notice;
    if (!plan.csvPath.isEmpty() && !csv.open(plan.csvPath, &error, &notice)) {
        out.error(error);
        return ExitFile;
    }
    if (!notice.isEmpty())
        out.error(notice);

    StopRequest stop;
    QElapsedTimer clock;
    clock.start();
    int result = ExitOk;
    bool lostTold = false;
    qint64 due = 0;
    for (qint64 n = 0; plan.count < 0 || n < plan.count; ++n) {
        for (qint64 left = due - clock.elapsed(); left > 0; left = due - clock.elapsed()) {
            if (stop.wait(int(left)))
                break;
        }
        if (stop.requested())
            break;

        const QDateTime time = QDateTime::currentDateTime();
        QJsonObject reading;
        int status = ExitOk;
        if (session.linkLost() && !session.reopen()) {
            status = ExitPortLost;
            reading = failedReading(time, session.address(), QStringLiteral("port lost"));
            if (!lostTold)
                out.error(session.viaDeviceServer()
                        ? QStringLiteral("status: the connection to the device server %1 is lost; it is made again "
                                         "before readings, after a pause that grows to %2 s while it fails")
                              .arg(session.portPath())
                              .arg(ReconnectBackoff::LongestMs / 1000)
                        : QStringLiteral("status: the port %1 is gone (adapter pulled?); it is opened again before "
                                         "each reading")
                              .arg(session.portPath()));
            lostTold = true;
        } else {
            StatusBlock block;
            const Outcome outcome = session.controller().readStatus(&block);
            status = session.judge(outcome, QStringLiteral("status"), Session::Read);
            reading = status == ExitOk ? StatusJson::toJson(block, time)
                                       : failedReading(time, session.address(), session.errorWords(outcome));
            lostTold = lostTold && status == ExitPortLost;
        }

        if (!plan.csvPath.isEmpty() && !csv.write(reading)) {
            out.error(QStringLiteral("%1: cannot be written: %2").arg(plan.csvPath, csv.errorString()));
            return ExitFile;
        }
        if (out.json()) {
            out.object(reading);
        } else if (status == ExitOk) {
            if (n > 0)
                out.line(QString());
            out.line(textLines(reading).join(QLatin1Char('\n')));
        } else if (plan.repeated) {
            if (n > 0)
                out.line(QString());
            out.line(Output::labelled("time", reading.value(QStringLiteral("time")).toString()) + QLatin1Char('\n')
                + Output::labelled("error", reading.value(QStringLiteral("error")).toString()));
        }
        if (status != ExitOk)
            result = status;
        // Results that can no longer be written end the log (the exit status says so).
        if (Output::resultsLost())
            break;
        // Readings start on a fixed beat. One that overran its beat (a long
        // time-out) is followed at once, and the beats it missed are skipped.
        due = std::max(due + plan.intervalMs, clock.elapsed());
    }
    return result;
}
