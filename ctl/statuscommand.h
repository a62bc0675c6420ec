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
    static int run(const CommandLine &commandLine, Output &out);
    // A reading (StatusJson's object) as lines of text for people.
    static QStringList textLines(const QJsonObject &reading);
};

#endif // STATUSCOMMAND_H
