#ifndef RELOADPLAN_H
#define RELOADPLAN_H

#include "bridgeconfig.h"

#include <QSet>
#include <QStringList>

// What a configuration read again (SIGHUP) changes of the one the bridge runs
// with: a line whose settings and controllers (and the poll interval) are the
// same is kept, with its port and its polls; any other line is restarted,
// added or removed; a front-end restarts when its section changed, otherwise
// it keeps its clients.
struct ReloadPlan
{
    QSet<QString> keptLines;
    QStringList restartedLines;
    QStringList addedLines;
    QStringList removedLines;
    QStringList removedControllers; // ids that are gone
    bool mqtt = false; // [mqtt], the topics, discovery or read-only mode changed: the client reconnects
    // [modbus_tcp]'s address, allow, idle time or the read-only mode changed
    // (or it is switched on or off); its unit ids follow the lines in place.
    bool modbusTcp = false;
    bool http = false; // [http] changed

    bool changesAnything() const;
    // "line b restarted, line c added, MQTT restarted": for the log.
    QString summary() const;

    static ReloadPlan between(const BridgeConfig &running, const BridgeConfig &next);
};

#endif // RELOADPLAN_H
