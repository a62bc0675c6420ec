#include "childprocess.h"

#include <csignal>

#include <sys/prctl.h>

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}
