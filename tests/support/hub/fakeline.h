#ifndef FAKELINE_H
#define FAKELINE_H

#include "faults.h"
#include "lineport.h"
#include "registerbank.h"

#include <QByteArray>
#include <QList>
#include <QMap>

// A line of virtual controllers in the test's own thread, with no terminal
// and no waiting: the port's link answers each request at once, from each
// controller's register bank (sim/registerbank.h), spoilt by its fault as
// the virtual line spoils it (sim/faults.h) — a reply that comes late counts
// as none. The line's time passes on the test's fake clock: each byte takes
// its wire time at the line's rate, a request nobody answers its whole wait.
// For the hub's and a line engine's logic, tested without waiting.
class FakeLine : public LinePort, private Link
{
public:
    // Controllers at these addresses on a line at `baud`, whose time is `clock` (milliseconds).
    FakeLine(const QList<int> &addresses, qint64 *clock, int baud);

    RegisterBank &bank(int address) { return banks[address]; }
    void setFault(int address, ControllerFaults::FaultKind kind, int param = 0, int count = -1);
    // Every request the line carried, oldest first.
    const QList<QByteArray> &requests() const { return heard; }
    void clearRequests() { heard.clear(); }
    // The port goes (an adapter pulled) or comes back.
    void setPresent(bool present);

    Link &link() override { return *this; }
    bool ensureOpen() override;
    QString stateText() const override;
    bool missing() const override { return !present; }

private:
    bool prepare() override { return open && present; }
    const char *prepareName() const override { return "fake"; }
    bool send(const quint8 *data, int length) override;
    int receive(quint8 *buffer, int count, int waitMs) override;
    void pass(qint64 ns);

    QMap<int, RegisterBank> banks;
    QMap<int, ControllerFaults::Fault> faults;
    QList<QByteArray> heard;
    QByteArray reply;
    qint64 *clock;
    int baud;
    qint64 wireNs = 0; // the line's time not yet on the clock
    bool present = true;
    bool open = false;
};

#endif // FAKELINE_H
