#ifndef LINEHUB_H
#define LINEHUB_H

#include "bridgeconfig.h"
#include "controllerstate.h"
#include "hubrequest.h"
#include "linestate.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class LineDriver;
struct Exchange;
struct JobDone;
struct LineJob;
struct PollDone;

// The bridge's one model of its lines: it owns them (a thread each, which
// holds the port and polls the controllers) and the state of every
// controller, and it is the one way in and out for every front-end. In: a
// typed request (HubRequest) with its source and a completion. Out: the
// state (controller(), line()) and signals when it changes. It lives in the
// main thread, where the front-ends live too; completions and signals come
// there.
//
// A read is answered from what the hub holds when every register of it is
// younger than the line's max_age_ms (polls keep the status block fresh; any
// read on the line is kept with its time; an acknowledged write updates what
// is held, one that is not drops it); otherwise it goes on the line, and reads
// of the same registers that wait at the same time share one exchange.
class LineHub : public QObject
{
    Q_OBJECT

public:
    using Clock = std::function<qint64()>; // monotonic milliseconds
    // The clock the bridge runs with (the lines stamp their results with it too).
    static qint64 steadyMs();
    // Makes the driver of a line; it reports under the line's `key` (jobDone()
    // ...). The default runs a LineWorker thread.
    using DriverFactory = std::function<std::unique_ptr<LineDriver>(quint64 key, const LineConfig &line, LineHub &hub)>;
    enum CommandResult { Ok, Failed, Refused };

    LineHub(const BridgeConfig &config, bool trace, QObject *parent = nullptr);
    LineHub(const BridgeConfig &config, DriverFactory factory, Clock clock, QObject *parent = nullptr);
    ~LineHub() override;

    // Opens every line's port; false, with a sentence, when one cannot be had
    // (held by another program, no permission); a missing one is waited for.
    bool start(QString *error);
    // Takes no more requests; each line finishes the request on the wire (a
    // poll is given up) and its completion is called; requests that never
    // went out complete as PortLost, with nothing sent. (A hub destroyed
    // without stop() stops its lines and calls no completion.)
    void stop();

    // Carries out `request` for controller `controller` (its index here) and
    // calls `done` once, in this thread: at once when the hub can answer it
    // (a fresh read, a refusal), otherwise when the line has. False, and
    // `done` is never called, when the line has its source's queueLimit of
    // requests waiting already, or the hub has stopped.
    bool submit(int controller, const HubRequest &request, Completion done);
    // Runs with `next` from now on: the lines named in `keptLines` (whose
    // settings and controllers are the same) go on as they are, with their
    // port, their polls and their controllers' state; the others stop (what
    // never went out on them is answered PortLost) and the new ones start.
    // Requests that wait follow their controller by its id. Returns what went
    // wrong starting the new lines (a port held by another program), one line
    // of text each; reconfigured() tells the front-ends.
    QString reconfigure(const BridgeConfig &next, const QSet<QString> &keptLines);
    // A number for a client of a front-end (a connection).
    quint64 newClient() { return ++lastClient; }
    // The client went: its requests that wait go too (the one on the wire
    // finishes); their completions are never called.
    void cancel(quint64 client);

    const BridgeConfig &config() const { return bridgeConfig; }
    int controllerCount() const { return int(controllers.size()); }
    const ControllerState &controller(int index) const { return controllers.at(size_t(index)); }
    // The index of the controller with this id, or -1.
    int find(const QString &id) const { return byId.value(id, -1); }
    int lineCount() const { return int(lines.size()); }
    const LineState &line(int index) const { return lines.at(size_t(index)).state; }
    qint64 nowMs() const { return clock(); }
    // How long a read may be served from what is held on a controller's line.
    int maxAgeMs(int controller) const;

    // Commands (writes) by source and result, for the metrics. A source's
    // counters show once enabled (its front-end takes commands).
    void enableSource(Source source) { sources.at(size_t(source)) = true; }
    bool sourceEnabled(Source source) const { return sources.at(size_t(source)); }
    // A front-end refused a command before it reached a line (a bad payload).
    void countRefused(Source source) { count(source, Refused); }
    quint64 commandCount(Source source, CommandResult result) const
    {
        return commands.at(size_t(source)).at(size_t(result));
    }

    // From the lines' drivers, in this thread, under the key the line's driver
    // was made with (the lines of the first configuration: their index).
    void jobDone(quint64 line, const JobDone &done);
    void polled(quint64 line, const PollDone &done);
    void portChanged(quint64 line, bool open, const QString &text);

signals:
    // A poll of the controller ended (good or not); its state is updated.
    void controllerPolled(int controller);
    void availabilityChanged(int controller);
    void requestDone(int controller, const HubRequest &request, const HubResult &result);
    void lineChanged(int line);
    // The configuration changed: the controllers' and lines' indexes with it.
    void reconfigured();

private:
    struct Waiter
    {
        quint64 client = 0;
        Completion done;
    };
    struct Pending
    {
        int controller = 0;
        HubRequest request;
        std::vector<Waiter> waiters; // several for a shared read
    };
    struct Line
    {
        quint64 key = 0; // its reports name it by this, whatever its index now
        LineState state;
        std::unique_ptr<LineDriver> driver;
        int firstController = 0;
        std::array<int, SourceCount> queued{}; // requests waiting, by source
    };

    // A command of `source` ended as `result`; its source's counters show from then on.
    Line newLine(const LineConfig &config);
    int lineOf(quint64 key) const;
    Line *lineOfController(int controller);
    void count(Source source, CommandResult result);
    void count(ControllerState &controller, LineState &line, const QVector<Exchange> &exchanges);
    void remember(ControllerState &controller, const HubRequest &request, const HubResult &result, qint64 atMs);
    void finish(quint64 id, HubResult result);

    BridgeConfig bridgeConfig;
    const Clock clock;
    const DriverFactory factory;
    quint64 nextLineKey = 0;
    std::vector<ControllerState> controllers;
    std::vector<Line> lines;
    QHash<QString, int> byId;
    QHash<quint64, Pending> pending; // by job id
    quint64 lastJob = 0;
    quint64 lastClient = 0;
    bool stopped = false;
    std::array<bool, SourceCount> sources{};
    std::array<std::array<quint64, 3>, SourceCount> commands{};
};

// How the hub reaches one line: a thread of its own in the bridge
// (LineWorker), the test's own hand in tests. Results come back through the
// hub's jobDone(), polled() and portChanged().
class LineDriver
{
public:
    virtual ~LineDriver() = default;
    // The first attempt to open the port: false, with a sentence, when it was refused.
    virtual bool start(QString *error) = 0;
    virtual void post(const LineJob &job) = 0;
    virtual void cancel(quint64 id) = 0;
    // Ends the line once the request on the wire is done; returns the jobs that never went out.
    virtual QVector<LineJob> stop() = 0;
};

#endif // LINEHUB_H
