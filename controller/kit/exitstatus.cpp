#include "exitstatus.h"

#include <QStringList>

namespace ExitStatusTable {

const QVector<Row> &rows()
{
    static const QVector<Row> table = {
        {ExitOk, "Ok", "done", "stopped by SIGTERM or SIGINT, or --check found the configuration good"},
        {ExitFile, "File", "a file could not be read or written (INI, CSV)",
            "the configuration file cannot be read (missing, unreadable, too large),\nor the stop signals cannot be "
            "taken"},
        {ExitUsage, "Usage", "wrong command line or a value out of range: nothing was sent",
            "a wrong option, key or value: nothing was started"},
        {ExitPort, "Port", "the port cannot be opened (missing, busy, no permission, no RS-485 mode),\nor none chosen",
            "a line's port cannot be had (busy, no permission, no RS-485 mode)"},
        {ExitNoReply, "NoReply", "no reply (scan: no controller found)", nullptr},
        {ExitBadReply, "BadReply",
            "bad reply (CRC, short, wrong address, function or register), refused (exception),\nor a bus collision "
            "(the request's echo came back changed)",
            nullptr},
        {ExitNotAcknowledged, "NotAcknowledged",
            "written, but not acknowledged: the controller may or may not have applied it", nullptr},
        {ExitPortLost, "PortLost", "the port was lost (adapter pulled)", nullptr},
        {ExitBroker, "Broker", nullptr, "the MQTT client cannot be set up"},
        {ExitListen, "Listen", nullptr, "an address to listen on (modbus_tcp/listen, http/listen) cannot be had"},
    };
    return table;
}

QString help(Program program)
{
    QStringList lines;
    for (const Row &row : rows()) {
        const char *text = program == Ctl ? row.ctl : row.bridge;
        if (text == nullptr)
            continue;
        const QStringList parts = QString::fromUtf8(text).split(QLatin1Char('\n'));
        lines << QStringLiteral("  %1  %2").arg(int(row.status)).arg(parts.first());
        for (int i = 1; i < parts.size(); ++i)
            lines << QStringLiteral("     ") + parts.at(i);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace ExitStatusTable
