#ifndef EXITSTATUS_H
#define EXITSTATUS_H

// vortanix-ctl's exit statuses. Scripts tell the cases apart by them; the
// program's --help, its manual page and the README list them.
//
// Through a Modbus TCP gateway (--tcp) the gateway's answers mean:
//   no connection to the gateway             ExitPort
//   exception 0B (the controller is silent)  ExitNoReply, ExitNotAcknowledged for a write
//   exception 0A (its line is unavailable)   ExitPortLost, as is a connection that breaks
//   exceptions 01, 02, 03, 04 and the
//   controller's own codes                   ExitBadReply
enum ExitStatus {
    ExitOk = 0,
    ExitFile = 1, // a file (INI, CSV) could not be read or written
    ExitUsage = 2, // a wrong command line or a value out of range: nothing was sent
    ExitPort = 3, // the port could not be opened (missing, busy, no permission, no RS-485 mode), or none was chosen
    ExitNoReply = 4, // a read got no reply; a scan found no controller
    // A reply was wrong (CRC, short, wrong address or function, a write
    // acknowledged for another register), the controller refused
    // (exception), or the request's echo came back changed (bus collision).
    ExitBadReply = 5,
    ExitNotAcknowledged = 6, // a write went out but no acknowledgement came back: it may or may not have been applied
    ExitPortLost = 7, // the port went away (an adapter pulled) during the run
};

#endif // EXITSTATUS_H
