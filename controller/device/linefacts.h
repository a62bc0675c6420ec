#ifndef LINEFACTS_H
#define LINEFACTS_H

#include "registers.h"

#include <QList>
#include <QString>

// What every program knows of the RS-485 line the controllers sit on, written
// once: the rates a controller runs at, the addresses it takes, the unit ids a
// Modbus TCP gateway gives, and when a controller that stopped answering
// counts as offline.
namespace LineFacts {

// The controller's rates, fastest first (the order a scan tries them in).
const QList<int> &bauds();
bool isBaud(int rate);
// "115200, 57600, 19200 or 9600", for messages and help texts.
QString baudsText();
// The standard rates a serial port is set to, 1200 to 115200 (the
// controller's among them); the panel's port takes these and no other.
const QList<int> &portRates();

// Every address a controller takes, 1..254 (registers.h). All of them are
// reached by every program; Modbus masters of other makes often stop at 247.
constexpr int AddressMin = Rs485AddressMin;
constexpr int AddressMax = Rs485AddressMax;
// "1..254", for messages and help texts.
QString addressRangeText();

// The unit ids of Modbus TCP: 1..247. Through a gateway a controller is
// reached by its address as unit id when that is 247 or less; one at
// 248..254 needs a unit id mapped to it.
constexpr int UnitIdMin = 1;
constexpr int UnitIdMax = 247;

// A controller counts as offline after this many failed reads in a row, and
// as online again at the next good one.
constexpr int FailuresForOffline = 5;

} // namespace LineFacts

#endif // LINEFACTS_H
