#ifndef STATUSCOMMAND_H
#define STATUSCOMMAND_H

#include <QJsonObject>
#include <QStringList>

class CommandLine;
class Output;

// `status`: the status read once, or again and again at an interval, as
// text, JSON lines and CSV rows.
class StatusCommand
{
public:
    // The limits of --interval and --count, and the interval of --count alone.
    static constexpr qint64 IntervalMaxMs = 3600000;
    static constexpr qint64 DefaultIntervalMs = 1000;
    static constexpr qint64 CountMax = 2147483647;

    static int run(const CommandLine &commandLine, Output &out);
    // A reading (StatusJson's object) as lines of text for people.
    static QStringList textLines(const QJsonObject &reading);
};

#endif // STATUSCOMMAND_H
