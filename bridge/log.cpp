#include "log.h"

#include <cstdio>

void logLine(const QString &text)
{
    std::fprintf(stderr, "vortanix-bridge: %s\n", qPrintable(text));
    std::fflush(stderr);
}
