#ifndef OUTPUT_H
#define OUTPUT_H

#include <QJsonObject>
#include <QString>

// Where vortanix-ctl's words go: results to standard output (plain text, or
// one JSON object a line with --json), messages to standard error, each line
// flushed at once and always in UTF-8.
class Output
{
public:
    explicit Output(bool json) : jsonMode(json) { }

    // A line of a value shown to people: "power              650 ‰".
    static QString labelled(const char *label, const QString &value);

    bool json() const { return jsonMode; }
    // A line of results.
    void line(const QString &text);
    // A result as one compact JSON line.
    void object(const QJsonObject &object);
    // "vortanix-ctl: <text>" on standard error.
    void error(const QString &text);
    // A line on standard error as it is (trace, progress).
    void note(const QString &text);
    // Raw text on standard error, without a line end (progress that overwrites itself).
    void progress(const QString &text);

private:
    bool jsonMode;
};

#endif // OUTPUT_H
