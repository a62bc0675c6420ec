#ifndef LOG_H
#define LOG_H

#include <QString>

// One line on standard error, "vortanix-bridge: <text>"; the service's
// journal keeps it. Never given a password.
void logLine(const QString &text);

#endif // LOG_H
