#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A process that the kernel ends (SIGKILL) when the test process dies, also
// when a test crashes before its destructors run: no broker or bridge is
// left behind on the machine.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

#endif // CHILDPROCESS_H
