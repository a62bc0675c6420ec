#ifndef CTLRIG_H
#define CTLRIG_H

#include "virtualline.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What a run of vortanix-ctl left behind.
struct CtlResult
{
    QStringList arguments; // as the program was given them
    bool finished = false; // ended on its own within the wait
    int exitCode = -1;
    QString out; // standard output
    QString err; // standard error

    QStringList outLines() const;
    // For failure messages: "vortanix-ctl <arguments>: exit 4; stdout: ...; stderr: ...".
    QString describe() const;
    // Empty when the run finished with `expectedExit` and its standard error
    // holds `errText`; else what it did instead, for VERIFY_EMPTY (verifyempty.h).
    QString mismatch(int expectedExit, const QString &errText = QString()) const;
};

// vortanix-ctl's exit statuses, as its manual page documents them.
enum CtlExit {
    Ok = 0,
    FileError = 1,
    Usage = 2,
    Port = 3,
    NoReply = 4,
    BadReply = 5,
    NotAcknowledged = 6,
    PortLost = 7
};

// vortanix-ctl, the real program, run as a process against a virtual line
// with controllers on it. The line's port is a link in a folder of the
// test's own, so its path stays the same across unplug() and replug().
class CtlRig
{
public:
    // The program the build made (its path comes from CMake).
    static QString program();
    // Runs the program with these arguments as they are and waits for its
    // end; its standard output goes to `outputFile` when one is given.
    // "--timeout 3000" before these: a loaded machine must not turn an
    // awaited reply into a time-out.
    static QStringList withReplyWait(const QStringList &arguments);
    static CtlResult runProgram(const QStringList &arguments, int waitMs = 120000, const QString &outputFile = {});

    CtlRig();
    ~CtlRig();
    CtlRig(const CtlRig &) = delete;
    CtlRig &operator=(const CtlRig &) = delete;

    // Puts controllers at these addresses on the line and starts it.
    bool start(const QList<quint8> &addresses = {1});
    // The controller put on the line at this address (wherever it is now).
    SimController at(quint8 address) const;
    QString portPath() const { return line.portPath(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    // Runs "vortanix-ctl --port <line> <arguments>".
    CtlResult run(const QStringList &arguments, int waitMs = 120000) const;
    // The same with its standard output into a file (/dev/full, say).
    CtlResult runInto(const QString &outputFile, const QStringList &arguments) const;
    // Starts it without waiting (the caller owns the process and ends it).
    void start(QProcess &process, const QStringList &arguments) const;

    // Every frame the line carried since the controllers' logs were last
    // cleared, oldest first, once all of them have arrived: a marker request
    // to an address nobody has is sent and awaited, so that no fixed wait is
    // needed to see that nothing else came.
    QList<QByteArray> settledFrames() const;
    void clearRequests();

    VirtualLine line;

private:
    QTemporaryDir dir;
    QList<SimController> controllers;
    QList<quint8> startAddresses;
};

#endif // CTLRIG_H
