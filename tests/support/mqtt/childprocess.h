#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>
#include <QStringList>

// A process that the kernel ends (SIGKILL) when the test process dies, also
// when a test crashes before its destructors run: no broker or bridge is
// left behind on the machine.
class ChildProcess : public QProcess
{
public:
    explicit ChildProcess(QObject *parent = nullptr);

    struct Finished
    {
        int code = -1; // -1: it did not end on its own within the wait, or crashed
        QString out; // standard output, then standard error
    };
    // Runs a program (mbpoll, openssl, python3...) in `folder` to its end.
    static Finished run(
        const QString &program, const QStringList &arguments, const QString &folder = QString(), int timeoutMs = 60000);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};

#endif // CHILDPROCESS_H
