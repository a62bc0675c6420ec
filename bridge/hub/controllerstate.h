#ifndef CONTROLLERSTATE_H
#define CONTROLLERSTATE_H

#include "bridgeconfig.h"
#include "outcome.h"
#include "statusblock.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

#include <array>

// What the hub knows of one controller: whether it answers, its latest
// status, the registers it holds with the time each was read or written,
// and what its exchanges came to. Kept in the hub's thread; front-ends read it.
struct ControllerState
{
    enum class Availability { Unknown, Online, Offline };

    ControllerConfig config;
    int line = 0; // the hub's index of its line
    int indexOnLine = 0;

    // Online from its first good poll, offline after LineFacts::FailuresForOffline
    // failed polls in a row, until the next good one.
    Availability availability = Availability::Unknown;
    int failures = 0; // failed polls in a row
    QString link; // the latest poll's outcome in words ("ok", "time-out", "port lost", ...)

    bool haveStatus = false; // a good poll since the bridge started
    StatusBlock status; // of the latest good poll
    qint64 statusAtMs = 0; // the hub's clock
    QDateTime statusTime; // the same, for people
    QString firmware; // "1.10"; empty until a poll told it

    std::array<quint64, Outcome::KindCount> outcomes{}; // requests on the line by outcome
    QMap<quint8, quint64> exceptions; // by code

    bool online() const { return availability == Availability::Online; }

    // The words of `count` registers from `first` when every one of them is
    // held younger than `maxAgeMs` at `nowMs`; `ageMs` is the oldest's age.
    bool serve(quint16 first, int count, qint64 nowMs, int maxAgeMs, QVector<quint16> *words, qint64 *ageMs) const;
    // Registers read or written (acknowledged) at `atMs`; a write of the
    // configuration block also sets the registers that follow it (the
    // device's register table says which).
    void hold(quint16 first, const QVector<quint16> &words, qint64 atMs);
    // Registers whose value is no longer known (a write not acknowledged).
    void drop(quint16 first, int count);
    // How old the held register is at `nowMs`; -1 when it is not held.
    qint64 ageOf(quint16 reg, qint64 nowMs) const;
    // The word of a register: the latest good poll's for the status block,
    // else what is held, however old; false when neither knows it.
    bool word(quint16 reg, quint16 *value) const;

private:
    struct Held
    {
        quint16 value = 0;
        qint64 atMs = 0;
    };
    QHash<quint16, Held> held;
};

#endif // CONTROLLERSTATE_H
