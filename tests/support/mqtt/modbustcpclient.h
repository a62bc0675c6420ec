#ifndef MODBUSTCPCLIENT_H
#define MODBUSTCPCLIENT_H

#include <QString>
#include <QVector>

struct _modbus;

// A Modbus TCP client on libmodbus, the library most SCADA tools and
// gateways are built on: it checks each answer's transaction id and
// function itself. One a thread.
class ModbusTcpClient
{
public:
    ModbusTcpClient(int port, int unit);
    ~ModbusTcpClient();
    ModbusTcpClient(const ModbusTcpClient &) = delete;
    ModbusTcpClient &operator=(const ModbusTcpClient &) = delete;

    bool connect();
    void setUnit(int unit);
    bool read(int first, int count, QVector<quint16> *values);
    bool write(int reg, int value);
    bool writeBlock(int first, const QVector<quint16> &values);
    // The Modbus exception code of the last request (0: it went well; -1:
    // no exception but another failure, e.g. the connection closed).
    int lastException() const { return exception; }

private:
    bool judge(int rc);

    _modbus *ctx = nullptr;
    int exception = 0;
};

#endif // MODBUSTCPCLIENT_H
