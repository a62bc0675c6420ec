#ifndef LINEWORKER_H
#define LINEWORKER_H

#include "bridgeconfig.h"
#include "command.h"
#include "outcome.h"
#include "replydecoder.h"
#include "seriallink.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMutex>
#include <QQueue>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <functional>

// One request and its reply (or what became of it), for the counters.
struct Exchange
{
    Outcome::Kind kind = Outcome::Timeout;
    quint8 exceptionCode = 0;
    qint64 elapsedNs = 0;
};

struct PollResult
{
    bool ok = false;
    QString outcome; // "ok", "time-out", "bad CRC", "port lost", ...
    StatusBlock status; // when ok
    QDateTime time; // when the reply was in
    QVector<Exchange> exchanges; // none when the port could not be had
};

struct CommandResult
{
    Command command;
    bool ok = false; // acknowledged (or, for a read, answered)
    QString outcome;
    bool sent = false; // a write went on the line
    quint16 written = 0; // the register value sent (the whole switch mask for module_N)
    QJsonObject config; // the block, for config read
    QVector<Exchange> exchanges; // every request the command took, in order
};

// A request from the Modbus TCP gateway, carried to one controller as it
// came (checked by the gateway before it is queued).
struct PassThrough
{
    quint8 function = 0; // 3, 6 or 16
    quint16 first = 0;
    quint16 count = 0; // registers read (function 3)
    QVector<quint16> values; // written: one (6) or several (16)
};

// Called on the line's thread with what became of a PassThrough.
using PassThroughDone = std::function<void(const Outcome &)>;

Q_DECLARE_METATYPE(PollResult)
Q_DECLARE_METATYPE(CommandResult)
Q_DECLARE_METATYPE(QVector<Exchange>)

// One RS-485 line on a thread of its own: it holds the line's port open
// (exclusively) and polls each controller on it every poll interval, and
// runs the commands queued for it between polls. A controller that does
// not answer costs its waits on this line only; other lines have threads of
// their own. When the port is lost (an adapter pulled) every poll fails
// with "port lost" and the port is reopened by its path as soon as it is back.
//
// Commands and gateway requests take turns with the polls: after each one,
// a poll that is due goes first, so no client delays a poll by more than
// one exchange.
//
// The port, the links and the controllers belong to the thread; the public
// functions may be called from any thread. Results go out as signals, which
// reach receivers in other threads queued.
class LineWorker : public QThread
{
    Q_OBJECT

public:
    static constexpr int MaxQueuedCommands = 32;
    // Gateway requests waiting, over all its clients (one each at a time).
    static constexpr int MaxQueuedRequests = 64;

    LineWorker(const LineConfig &line, int pollIntervalMs, bool trace, QObject *parent = nullptr);
    ~LineWorker() override;

    const LineConfig &line() const { return config; }
    // Starts the thread and waits for its first attempt to open the port.
    // On Missing the thread goes on and opens the port when it appears.
    SerialLink::OpenError startAndOpen(QString *text);
    // Queues a command for a controller (its index in the line); false when
    // MaxQueuedCommands are waiting already.
    bool enqueue(int controller, const Command &command);
    // Queues a gateway request; `done` is called on the line's thread, also
    // (with "port lost") when the worker stops before the request went out.
    // False, and `done` is not called, when MaxQueuedRequests are waiting.
    bool enqueue(int controller, const PassThrough &request, PassThroughDone done);
    // Ends the thread, giving up a reply that is still coming in (its result
    // is not reported), and waits for it.
    void stop();

signals:
    void polled(int controller, const PollResult &result);
    void commandDone(int controller, const CommandResult &result);
    // The requests a gateway request took on the line.
    void passedThrough(int controller, const QVector<Exchange> &exchanges);
    void portChanged(bool open, const QString &text);

protected:
    void run() override;

private:
    class Session;

    struct Job
    {
        int controller = 0;
        Command command;
        bool passThrough = false;
        PassThrough request;
        PassThroughDone done;
    };

    bool takeJob(Job *next);
    void waitForWork(qint64 ms);
    bool stopping() const;

    const LineConfig config;
    const int intervalMs;
    const bool trace;

    mutable QMutex mutex;
    QWaitCondition wake;
    QQueue<Job> jobs;
    int queuedCommands = 0;
    int queuedRequests = 0;
    // Set by stop(); a reply being read then is given up, not waited out.
    std::atomic<bool> stopRequested{false};
    bool opened = false; // the first attempt is done
    SerialLink::OpenError openError = SerialLink::NoError;
    QString openText;
    QWaitCondition openDone;
};

#endif // LINEWORKER_H
