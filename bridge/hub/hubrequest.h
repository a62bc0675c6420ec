#ifndef HUBREQUEST_H
#define HUBREQUEST_H

#include "outcome.h"

#include <QString>
#include <QVector>

#include <functional>

// Where a request to the line hub comes from: counted per source in the
// metrics, each with its own limit of requests waiting on one line. A new
// front-end that sends requests is one more row (hubrequest.cpp).
enum class Source { Mqtt, ModbusTcp, Http, Bridge };

struct SourceRow
{
    Source source;
    const char *label; // vortanix_commands_total{source="..."}
    int queueLimit; // requests of this source waiting on one line at most
};
const SourceRow &sourceRow(Source source);
constexpr int SourceCount = 4;

// One request to one controller, typed, whoever asks.
struct HubRequest
{
    enum Kind {
        ReadRegisters, // `count` registers from `first`
        WriteRegister, // `values[0]` to `first`
        WriteRegisters, // `values` from `first` (the configuration block)
        SwitchModule, // module `module` on or off, the others as they are: the switch mask read, then written
    };

    Kind kind = ReadRegisters;
    Source source = Source::Mqtt;
    // Who asked (a connection, a session): when it goes, its requests that
    // wait go with it (LineHub::cancel). 0: nobody in particular.
    quint64 client = 0;
    quint16 first = 0;
    quint16 count = 0;
    QVector<quint16> values;
    int module = 0;
    bool on = false;
    // A read may be answered from what the hub holds when that is younger
    // than this: -1 for the line's max_age_ms, 0 for always on the line.
    int maxAgeMs = -1;

    bool isWrite() const { return kind != ReadRegisters; }
    // The registers a write changes (first, how many): the switch mask for SwitchModule.
    quint16 writtenFirst() const;
    int writtenCount() const;

    static HubRequest read(Source source, quint16 first, quint16 count);
    static HubRequest write(Source source, quint16 reg, quint16 value);
    static HubRequest writeBlock(Source source, quint16 first, const QVector<quint16> &values);
    static HubRequest switchModule(Source source, int module, bool on);
};

// What became of a request.
struct HubResult
{
    // Ok when served from what the hub holds. For a write: its
    // acknowledgement, and with read-back its check (NotApplied).
    Outcome outcome;
    // Why it failed, in words: the outcome's, or for a switch "reading the switch mask: time-out".
    QString text;
    QVector<quint16> words; // a read's registers
    bool sent = false; // a write went on the line
    quint16 written = 0; // its value (SwitchModule: the whole switch mask)
    bool fromHub = false; // answered from what the hub holds: no exchange
    qint64 ageMs = 0; // how old the words were when served (0 when they came from the line)

    bool ok() const { return outcome.kind == Outcome::Ok; }
};

using Completion = std::function<void(const HubResult &)>;

#endif // HUBREQUEST_H
