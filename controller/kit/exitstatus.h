#ifndef EXITSTATUS_H
#define EXITSTATUS_H

#include <QString>
#include <QVector>

// The exit statuses of vortanix-ctl and vortanix-bridge: one number, one
// meaning, in both programs. Scripts and service managers tell the cases
// apart by them; each program's --help prints its rows of the table below,
// and both manual pages list them.
//
// Through a Modbus TCP gateway (ctl --tcp) the gateway's answers mean:
//   no connection to the gateway             ExitPort
//   exception 0B (the controller is silent)  ExitNoReply, ExitNotAcknowledged for a write
//   exception 0A (its line is unavailable)   ExitPortLost, as is a connection that breaks
//   exceptions 01, 02, 03, 04 and the
//   controller's own codes                   ExitBadReply
//   a reply to another request (its MBAP
//   header's transaction, protocol, length
//   or unit; a write's echo)                 ExitBadReply, ExitNotAcknowledged for a write
enum ExitStatus {
    ExitOk = 0,
    ExitFile = 1, // a file (INI, CSV, the bridge's configuration) could not be read or written
    ExitUsage = 2, // a wrong command line, configuration or value: nothing was sent or started
    ExitPort = 3, // a port could not be opened (missing, busy, no permission, no RS-485 mode), or none was chosen
    ExitNoReply = 4, // a read got no reply; a scan found no controller
    // A reply was wrong (CRC, short, wrong address or function, a write
    // acknowledged for another register), the controller refused
    // (exception), or the request's echo came back changed (bus collision).
    ExitBadReply = 5,
    ExitNotAcknowledged = 6, // a write went out but no acknowledgement came back: it may or may not have been applied
    ExitPortLost = 7, // the port went away (an adapter pulled) during the run
    ExitBroker = 8, // the bridge's MQTT client could not be set up
    ExitListen = 9, // an address to listen on (Modbus TCP, metrics) could not be had
};

namespace ExitStatusTable {

enum Program { Ctl, Bridge };

struct Row
{
    ExitStatus status;
    const char *name; // the enumerator without "Exit": help texts name a status by it ({EXIT:NoReply})
    const char *ctl; // what it means for vortanix-ctl; null: never returned
    const char *bridge; // for vortanix-bridge
};

const QVector<Row> &rows();
// The program's rows as help text: "  2  wrong command line ...", one line a
// row, continuation lines indented under the text.
QString help(Program program);

} // namespace ExitStatusTable

#endif // EXITSTATUS_H
