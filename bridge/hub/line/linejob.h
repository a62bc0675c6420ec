#ifndef LINEJOB_H
#define LINEJOB_H

#include "hubrequest.h"
#include "statusblock.h"

#include <QDateTime>
#include <QMetaType>
#include <QVector>

// What passes between the hub and a line: a request for one of the line's
// controllers, and what became of it and of each poll. Times are the hub's
// clock's (monotonic milliseconds).

// One request on the line and its reply (or what became of it), for the counters.
struct Exchange
{
    Outcome::Kind kind = Outcome::Timeout;
    quint8 exceptionCode = 0;
    qint64 elapsedNs = 0;
};

struct LineJob
{
    quint64 id = 0;
    int controller = 0; // its index on the line
    HubRequest request;
};

struct JobDone
{
    quint64 id = 0;
    int controller = 0;
    HubRequest request; // what was asked: what the hub holds follows it, whoever still waits
    HubResult result;
    qint64 atMs = 0; // when its reply was in
    QVector<Exchange> exchanges; // every request it took, in order
};

struct PollDone
{
    int controller = 0;
    Outcome::Kind kind = Outcome::Timeout;
    QString text; // the outcome in words: "ok", "time-out", "port lost", ...
    StatusBlock status; // when ok
    qint64 atMs = 0;
    QDateTime time; // when the reply was in, for people
    int failures = 0; // failed polls in a row, this one included
    bool offline = false; // that many make the controller offline
    QVector<Exchange> exchanges; // none when the port could not be had

    bool ok() const { return kind == Outcome::Ok; }
};

Q_DECLARE_METATYPE(JobDone)
Q_DECLARE_METATYPE(PollDone)

#endif // LINEJOB_H
