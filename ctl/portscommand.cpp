#include "portscommand.h"

#include "exitstatus.h"
#include "output.h"
#include "portlist.h"

#include <QJsonObject>

int PortsCommand::run(const CommandLine &, Output &out)
{
    QList<PortList::Port> ports = PortList::ports();
    PortList::probe(&ports);
    for (const PortList::Port &port : ports) {
        if (out.json()) {
            auto orNull = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
            out.object({{QStringLiteral("path"), port.path}, {QStringLiteral("by_id"), orNull(port.byId)},
                {QStringLiteral("description"), orNull(port.description)}, {QStringLiteral("usable"), port.usable},
                {QStringLiteral("problem"), orNull(port.problem)},
                {QStringLiteral("latency_timer_ms"),
                    port.latencyTimerMs < 0 ? QJsonValue() : QJsonValue(port.latencyTimerMs)}});
        } else {
            out.line(port.path);
            if (!port.byId.isEmpty())
                out.line(QStringLiteral("  by id:       ") + port.byId);
            if (!port.description.isEmpty())
                out.line(QStringLiteral("  description: ") + port.description);
            out.line(QStringLiteral("  usable:      ")
                + (port.usable ? QStringLiteral("yes") : QStringLiteral("no: ") + port.problem));
            if (port.latencyTimerMs > 1) {
                // Each reply waits this long in the adapter: at 115200 baud longer than it takes on the line.
                out.line(QStringLiteral("  latency:     %1 ms (1 ms is best at 115200 baud: echo 1 > %2)")
                             .arg(port.latencyTimerMs)
                             .arg(port.latencyTimerFile));
            } else if (port.latencyTimerMs >= 0) {
                out.line(QStringLiteral("  latency:     %1 ms").arg(port.latencyTimerMs));
            }
        }
    }
    if (ports.isEmpty())
        out.error(QStringLiteral("no serial port found (pseudo-terminals are not listed; give them with --port)"));
    return ExitOk;
}
