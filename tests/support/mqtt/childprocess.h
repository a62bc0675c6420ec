#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A process that the kernel ends (SIGKILL) when the test process dies, also
// when a test crashes before its destructors run: no broker or bridge is
// left behind on the machine.
class ChildProcess : public QProcess
{
public:
    explicit ChildProcess(QObject *parent = nullptr);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};

#endif // CHILDPROCESS_H
