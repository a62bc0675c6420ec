#include "modbustcpclient.h"

#include <modbus/modbus.h>

#include <cerrno>

ModbusTcpClient::ModbusTcpClient(int port, int unit)
{
    ctx = modbus_new_tcp("127.0.0.1", port);
    if (ctx) {
        modbus_set_slave(ctx, unit);
        // Generous: the machine running the tests is shared.
        modbus_set_response_timeout(ctx, 10, 0);
    }
}

ModbusTcpClient::~ModbusTcpClient()
{
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
}

bool ModbusTcpClient::connect()
{
    return ctx && modbus_connect(ctx) == 0;
}

void ModbusTcpClient::setUnit(int unit)
{
    modbus_set_slave(ctx, unit);
}

bool ModbusTcpClient::judge(int rc)
{
    if (rc >= 0) {
        exception = 0;
        return true;
    }
    const int code = errno - MODBUS_ENOBASE;
    exception = code >= 1 && code <= 0x0B ? code : -1;
    return false;
}

bool ModbusTcpClient::read(int first, int count, QVector<quint16> *values)
{
    values->resize(count);
    const int rc = modbus_read_registers(ctx, first, count, values->data());
    if (rc >= 0 && rc != count) {
        exception = -1;
        return false;
    }
    return judge(rc);
}

bool ModbusTcpClient::write(int reg, int value)
{
    return judge(modbus_write_register(ctx, reg, uint16_t(value)));
}

bool ModbusTcpClient::writeBlock(int first, const QVector<quint16> &values)
{
    return judge(modbus_write_registers(ctx, first, values.size(), values.constData()));
}
