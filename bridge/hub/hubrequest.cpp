#include "hubrequest.h"

#include "registers.h"

#include <array>

namespace {

// source, label, queue limit: MQTT's commands as before, the gateway's up to
// one request each of its most clients; the bridge's own reads (the
// configuration block of a controller that comes online).
constexpr std::array<SourceRow, SourceCount> sources = {{
    {Source::Mqtt, "mqtt", 32},
    {Source::ModbusTcp, "modbus_tcp", 64},
    {Source::Http, "http", 32},
    {Source::Bridge, "bridge", 8},
}};

} // namespace

const SourceRow &sourceRow(Source source)
{
    return sources.at(size_t(source));
}

quint16 HubRequest::writtenFirst() const
{
    return kind == SwitchModule ? RegLdSwitchMask : first;
}

int HubRequest::writtenCount() const
{
    switch (kind) {
    case ReadRegisters:
        return 0;
    case WriteRegister:
    case SwitchModule:
        return 1;
    case WriteRegisters:
        return values.size();
    }
    return 0;
}

HubRequest HubRequest::read(Source source, quint16 first, quint16 count)
{
    HubRequest request;
    request.source = source;
    request.first = first;
    request.count = count;
    return request;
}

HubRequest HubRequest::write(Source source, quint16 reg, quint16 value)
{
    HubRequest request;
    request.kind = WriteRegister;
    request.source = source;
    request.first = reg;
    request.values = {value};
    return request;
}

HubRequest HubRequest::writeBlock(Source source, quint16 first, const QVector<quint16> &values)
{
    HubRequest request;
    request.kind = WriteRegisters;
    request.source = source;
    request.first = first;
    request.values = values;
    return request;
}

HubRequest HubRequest::switchModule(Source source, int module, bool on)
{
    HubRequest request;
    request.kind = SwitchModule;
    request.source = source;
    request.module = module;
    request.on = on;
    return request;
}
