#ifndef BUSLOG_H
#define BUSLOG_H

#include <QLoggingCategory>

// Trace of every exchange on the bus: request and reply in hex, the exchange
// time and the outcome. Off by default; QT_LOGGING_RULES="vortanix.bus.debug=true"
// switches it on.
Q_DECLARE_LOGGING_CATEGORY(lcBus)

#endif // BUSLOG_H
