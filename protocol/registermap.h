#ifndef REGISTERMAP_H
#define REGISTERMAP_H

#include <QtGlobal>

#include <vector>

// The controller's registers, one row each: the one description of the
// device that the virtual controller (what it serves and takes), the
// bridge's Modbus TCP gateway (what it forwards or refuses), vortanix-ctl
// and the bridge (the ranges of the settings, the state's keys and the
// metrics) read. registers.h names the registers; this table says what each
// one is. A new register is one more row here, with its name in registers.h.
namespace RegisterMap {

// How a master may use a register on the line.
enum class Access {
    ReadWrite, // read, and written alone (function 6)
    ReadOnly, // read; a write is refused
    WriteOnly, // written alone, never read (a read is refused)
    BlockOnly, // read, and written only within the whole configuration block (function 16)
};

// How a register shows as a Prometheus family (with the labels line, address and id).
enum class Metric {
    None,
    Gauge, // the word times the scale
    Temperature, // the signed word times the scale; absent while the sensor is open or shorted
    Counter32, // a 32-bit count, high word first: this word and the next one, times the scale
    Flag, // 1 while the low byte is 1, else 0
    Modules, // one sample per module (label module="1".."12"): its bit of the mask
    Firmware, // 1, with the version "major.minor" as the label firmware
};

struct Row
{
    quint16 reg;
    const char *name;
    Access access;
    // Changed only on the line itself, by a person (the address change):
    // never written through a gateway.
    bool lineOnly;
    quint16 min; // the values a write may carry
    quint16 max;
    // The controller itself refuses a write outside min..max (exception 03);
    // for the others only the gateway holds writes to the range.
    bool deviceChecksRange;
    quint16 resetValue; // after a reset, the factory configuration
    // The configuration register whose value this one takes when the block
    // is written (the controller applies its configuration at once); 0: none.
    quint16 followsConfig;
    const char *unit; // of the word times `scale`: "°C", "V", "‰"; empty: a plain number
    double scale;
    // The key of the status reading (ctl's JSON, the bridge's state) that shows it; empty: none.
    const char *statusKey;
    Metric metric;
    const char *metricName; // vortanix_...; null when `metric` is None
    const char *metricHelp;
};

// The rows, in register order.
const std::vector<Row> &rows();
// The row of a register, or null when the controller has no such register.
const Row *find(quint16 reg);
// The words of registers `first`..`first + count - 1` may be read in one request.
bool readable(quint16 first, int count);

} // namespace RegisterMap

#endif // REGISTERMAP_H
