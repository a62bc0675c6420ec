#ifndef OUTPUT_H
#define OUTPUT_H

#include <QJsonObject>
#include <QString>

// Where vortanix-ctl's words go: results to standard output (plain text, or
// one JSON object a line with --json), messages to standard error, each line
// flushed at once and always in UTF-8. Every line goes through one checked
// write: output that could not be written (a full disk, /dev/full) is told
// and fails the run, as the core utilities do.
class Output
{
public:
    explicit Output(bool json) : jsonMode(json) { }

    // A line of a value shown to people: "power              650 ‰".
    static QString labelled(const char *label, const QString &value);
    // The system's words for an errno value: "No space left on device".
    static QString systemReason(int error);

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

    // True once a result could not be written to standard output: a log stops.
    static bool resultsLost();
    // The program's exit status once a command ended with `status`: a
    // command that succeeded but whose output could not be written fails
    // with status 1, its reason told on standard error (if that can be written).
    static int finish(int status);

private:
    bool jsonMode;
};

#endif // OUTPUT_H
