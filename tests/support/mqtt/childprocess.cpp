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
