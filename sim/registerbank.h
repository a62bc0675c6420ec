#ifndef REGISTERBANK_H
#define REGISTERBANK_H

#include <QByteArray>
#include <QtGlobal>

#include <random>
#include <vector>

// The registers of one light-source controller and what the controller does
// with a request: its register map, Modbus exceptions, the six-byte write
// acknowledgement and broadcasts. No thread and no terminal: execute() takes
// a request frame and gives the reply, so the controller's behaviour can be
// checked as a table of requests and replies.
//
// The map itself (every register, how a master may use it and its value after
// a reset) is the device's one register table, protocol/registermap.cpp.
class RegisterBank
{
public:
    RegisterBank(); // factory configuration and default status

    // Carries out a request (a whole frame, its CRC already checked) and gives
    // the reply the controller sends. A request to another address is ignored
    // and a broadcast (address 0) is carried out; neither gets a reply, so the
    // result is empty. So is a frame too short for its function.
    QByteArray execute(const QByteArray &request);

    quint8 address() const;
    void setAddress(quint8 address);
    // Any register of the map, the command word included; 0 outside the map.
    quint16 value(quint16 reg) const;
    // Sets any register of the map (the address register keeps its low byte);
    // registers outside the map are not kept.
    void setValue(quint16 reg, quint16 value);
    void setRunSeconds(quint32 seconds);
    void reset();

    // One second of a live device: temperature and supply voltage wander
    // within a narrow band, the running time counts on.
    void drift(std::mt19937 &random);

private:
    QByteArray read(quint8 unit, const QByteArray &request) const;
    QByteArray writeSingle(quint8 unit, const QByteArray &request);
    QByteArray writeBlock(quint8 unit, const QByteArray &request);
    int indexOf(quint16 reg) const;
    quint16 &at(quint16 reg);

    std::vector<quint16> m_values; // one per row of the register map
};

#endif // REGISTERBANK_H
