#include "childprocess.h"

#include <csignal>

#include <sys/prctl.h>

namespace {
// In the child, between fork and exec.
void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}
} // namespace

ChildProcess::ChildProcess(QObject *parent) : QProcess(parent)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier(dieWithParent);
#endif
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ChildProcess::setupChildProcess()
{
    dieWithParent();
}
#endif

ChildProcess::Finished ChildProcess::run(
    const QString &program, const QStringList &arguments, const QString &folder, int timeoutMs)
{
    ChildProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    Finished result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return result;
}
