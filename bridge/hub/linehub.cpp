#include "linehub.h"

#include "linefacts.h"
#include "lineworker.h"
#include "registers.h"
#include "statusjson.h"

#include <QCoreApplication>

#include <algorithm>

#include <chrono>

namespace {

// A line on a thread of its own; its signals reach the hub queued.
class WorkerDriver : public LineDriver
{
public:
    WorkerDriver(quint64 key, LineHub &hub, const LineEngine::Settings &settings) : worker(settings)
    {
        QObject::connect(&worker, &LineWorker::jobDone, &hub, [&hub, key](const JobDone &d) { hub.jobDone(key, d); });
        QObject::connect(&worker, &LineWorker::polled, &hub, [&hub, key](const PollDone &d) { hub.polled(key, d); });
        QObject::connect(&worker, &LineWorker::portChanged, &hub,
            [&hub, key](bool open, const QString &text) { hub.portChanged(key, open, text); });
    }
    bool start(QString *error) override { return worker.startAndOpen(error); }
    void post(const LineJob &job) override { worker.post(job); }
    void cancel(quint64 id) override { worker.cancel(id); }
    QVector<LineJob> stop() override { return worker.stop(); }

private:
    LineWorker worker;
};

} // namespace

LineHub::LineHub(const BridgeConfig &config, bool trace, QObject *parent)
    : LineHub(
        config,
        [trace](quint64 key, const LineConfig &line, LineHub &hub) -> std::unique_ptr<LineDriver> {
            LineEngine::Settings settings;
            settings.line = line;
            settings.pollIntervalMs = hub.config().pollIntervalMs;
            settings.offlinePollMs = line.offlinePollMs;
            settings.verify = line.verify;
            settings.trace = trace;
            return std::make_unique<WorkerDriver>(key, hub, settings);
        },
        steadyMs, parent)
{
}

qint64 LineHub::steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

LineHub::LineHub(const BridgeConfig &config, DriverFactory factory, Clock clock, QObject *parent)
    : QObject(parent), bridgeConfig(config), clock(std::move(clock)), factory(std::move(factory))
{
    for (const LineConfig &lineConfig : config.lines)
        lines.push_back(newLine(lineConfig));
    for (Line &line : lines)
        line.driver = this->factory(line.key, line.state.config, *this);
}

LineHub::Line LineHub::newLine(const LineConfig &config)
{
    Line line;
    line.key = nextLineKey++;
    line.state.config = config;
    line.firstController = int(controllers.size());
    for (int i = 0; i < config.controllers.size(); ++i) {
        ControllerState controller;
        controller.config = config.controllers.at(i);
        controller.line = int(lines.size());
        controller.indexOnLine = i;
        byId.insert(controller.config.id, int(controllers.size()));
        controllers.push_back(controller);
    }
    return line;
}

int LineHub::lineOf(quint64 key) const
{
    for (size_t index = 0; index < lines.size(); ++index) {
        if (lines[index].key == key)
            return int(index);
    }
    return -1;
}

LineHub::~LineHub()
{
    // Destroyed without stop(): the front-ends may be gone, so no completion is called.
    pending.clear();
    stop();
}

bool LineHub::start(QString *error)
{
    for (Line &line : lines) {
        QString text;
        if (!line.driver->start(&text)) {
            *error = QStringLiteral("line %1: %2").arg(line.state.config.name, text);
            return false;
        }
    }
    return true;
}

void LineHub::stop()
{
    if (stopped)
        return;
    stopped = true;
    QVector<LineJob> unsent;
    for (Line &line : lines)
        unsent += line.driver->stop();
    // What the lines reported on their way out, before the requests that never went out.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    for (const LineJob &job : qAsConst(unsent)) {
        HubResult result;
        result.outcome.kind = Outcome::PortLost;
        result.text = QStringLiteral("not sent: the bridge stops");
        finish(job.id, result);
    }
}

int LineHub::maxAgeMs(int controller) const
{
    const int configured = lines.at(size_t(controllers.at(size_t(controller)).line)).state.config.maxAgeMs;
    return configured < 0 ? bridgeConfig.pollIntervalMs : configured;
}

bool LineHub::submit(int index, const HubRequest &request, Completion done)
{
    if (stopped)
        return false;
    ControllerState &controller = controllers.at(size_t(index));
    Line &line = lines.at(size_t(controller.line));
    if (request.kind == HubRequest::ReadRegisters) {
        HubResult served;
        const int maxAge = request.maxAgeMs < 0 ? maxAgeMs(index) : request.maxAgeMs;
        if (controller.serve(request.first, request.count, clock(), maxAge, &served.words, &served.ageMs)) {
            served.outcome.kind = Outcome::Ok;
            served.text = served.outcome.describe();
            served.fromHub = true;
            done(served);
            return true;
        }
        // The same read already waits: it answers this one too.
        for (Pending &waiting : pending) {
            if (waiting.controller == index && waiting.request.kind == HubRequest::ReadRegisters
                && waiting.request.first == request.first && waiting.request.count == request.count) {
                waiting.waiters.push_back(Waiter{request.client, std::move(done)});
                return true;
            }
        }
    }
    int &queued = line.queued.at(size_t(request.source));
    if (queued >= sourceRow(request.source).queueLimit)
        return false;
    ++queued;
    LineJob job;
    job.id = ++lastJob;
    job.controller = controller.indexOnLine;
    job.request = request;
    Pending entry;
    entry.controller = index;
    entry.request = request;
    entry.waiters.push_back(Waiter{request.client, std::move(done)});
    pending.insert(job.id, std::move(entry));
    line.driver->post(job);
    return true;
}

void LineHub::cancel(quint64 client)
{
    for (auto it = pending.begin(); it != pending.end();) {
        auto &waiters = it->waiters;
        waiters.erase(
            std::remove_if(waiters.begin(), waiters.end(), [client](const Waiter &w) { return w.client == client; }),
            waiters.end());
        if (!waiters.empty()) {
            ++it;
            continue;
        }
        // Nobody waits for it: off the line's queue, unless it is on the wire already.
        if (Line *line = lineOfController(it->controller)) {
            line->driver->cancel(it.key());
            --line->queued.at(size_t(it->request.source));
        }
        it = pending.erase(it);
    }
}

void LineHub::finish(quint64 id, HubResult result)
{
    const auto it = pending.find(id);
    if (it == pending.end())
        return; // its clients went
    const Pending entry = std::move(*it);
    pending.erase(it);
    if (Line *line = lineOfController(entry.controller))
        --line->queued.at(size_t(entry.request.source));
    if (entry.request.isWrite())
        count(entry.request.source, result.ok() ? Ok : Failed);
    emit requestDone(entry.controller, entry.request, result);
    for (const Waiter &waiter : entry.waiters)
        waiter.done(result);
}

void LineHub::count(Source source, CommandResult result)
{
    enableSource(source);
    ++commands.at(size_t(source)).at(size_t(result));
}

void LineHub::count(ControllerState &controller, LineState &line, const QVector<Exchange> &exchanges)
{
    for (const Exchange &exchange : exchanges) {
        ++controller.outcomes.at(size_t(exchange.kind));
        if (exchange.kind == Outcome::Exception)
            ++controller.exceptions[exchange.exceptionCode];
        if (exchange.kind == Outcome::Ok) {
            ++line.exchangesOk;
        } else {
            ++line.exchangesFailed;
            Outcome outcome;
            outcome.kind = exchange.kind;
            outcome.exceptionCode = exchange.exceptionCode;
            line.lastError = QStringLiteral("%1: %2").arg(controller.config.id, QString::fromUtf8(outcome.row().text));
        }
        line.countDuration(double(exchange.elapsedNs) / 1e9);
    }
}

void LineHub::remember(ControllerState &controller, const HubRequest &request, const HubResult &result, qint64 atMs)
{
    if (request.kind == HubRequest::ReadRegisters) {
        if (result.ok())
            controller.hold(request.first, result.words, atMs);
        return;
    }
    const QVector<quint16> written
        = request.kind == HubRequest::SwitchModule ? QVector<quint16>{result.written} : request.values;
    if (result.ok()) {
        controller.hold(request.writtenFirst(), written, atMs);
    } else if (result.outcome.kind == Outcome::NotApplied) {
        // Read back: what the controller holds instead.
        QVector<quint16> found;
        const QByteArray &reply = result.outcome.readBack;
        for (int i = 3; i + 1 < reply.size() - 2; i += 2)
            found.append(quint16((quint8(reply.at(i)) << 8) | quint8(reply.at(i + 1))));
        controller.drop(request.writtenFirst(), request.writtenCount());
        controller.hold(request.writtenFirst(), found, atMs);
    } else if (result.sent) {
        controller.drop(request.writtenFirst(), request.writtenCount());
    }
}

void LineHub::jobDone(quint64 key, const JobDone &done)
{
    // A line that went (a reload) still answers what was on its wire.
    const int lineIndex = lineOf(key);
    if (lineIndex >= 0) {
        Line &line = lines.at(size_t(lineIndex));
        ControllerState &controller = controllers.at(size_t(line.firstController + done.controller));
        count(controller, line.state, done.exchanges);
        remember(controller, done.request, done.result, done.atMs);
    }
    finish(done.id, done.result);
}

void LineHub::polled(quint64 key, const PollDone &done)
{
    const int lineIndex = lineOf(key);
    if (stopped || lineIndex < 0)
        return;
    Line &line = lines.at(size_t(lineIndex));
    const int index = line.firstController + done.controller;
    ControllerState &controller = controllers.at(size_t(index));
    count(controller, line.state, done.exchanges);
    controller.failures = done.failures;
    controller.link = done.text;
    const ControllerState::Availability before = controller.availability;
    if (done.ok()) {
        controller.haveStatus = true;
        controller.status = done.status;
        controller.statusAtMs = done.atMs;
        controller.statusTime = done.time;
        controller.firmware = StatusJson::firmware(done.status.firmwareVersion());
        QVector<quint16> words;
        for (int i = 0; i < StatusBlockCount; ++i)
            words.append(done.status.word(quint16(StatusBlockFirst + i)));
        controller.hold(StatusBlockFirst, words, done.atMs);
        controller.availability = ControllerState::Availability::Online;
    } else if (done.offline) {
        controller.availability = ControllerState::Availability::Offline;
    }
    emit controllerPolled(index);
    if (controller.availability == before)
        return;
    emit availabilityChanged(index);
    // Online (again): its configuration block too, which no poll reads (its alarm temperature is a metric).
    if (controller.online()) {
        HubRequest block = HubRequest::read(Source::Bridge, ConfigBlockFirst, ConfigBlockCount);
        block.maxAgeMs = 0;
        submit(index, block, [](const HubResult &) {});
    }
}

void LineHub::portChanged(quint64 key, bool open, const QString &text)
{
    const int lineIndex = lineOf(key);
    if (lineIndex < 0)
        return;
    LineState &state = lines.at(size_t(lineIndex)).state;
    state.open = open;
    state.text = text;
    emit lineChanged(lineIndex);
}

LineHub::Line *LineHub::lineOfController(int controller)
{
    return controller < 0 ? nullptr : &lines.at(size_t(controllers.at(size_t(controller)).line));
}

QString LineHub::reconfigure(const BridgeConfig &next, const QSet<QString> &keptLines)
{
    std::vector<Line> before;
    before.swap(lines);
    const std::vector<ControllerState> controllersBefore = std::move(controllers);
    controllers.clear();
    byId.clear();
    bridgeConfig = next;
    std::vector<bool> taken(before.size(), false);
    for (const LineConfig &config : next.lines) {
        const auto kept = std::find_if(before.begin(), before.end(), [&](const Line &line) {
            return line.driver && keptLines.contains(config.name) && line.state.config.name == config.name;
        });
        if (kept == before.end()) {
            lines.push_back(newLine(config));
            continue;
        }
        // The same line: its thread, its port, its counters and its controllers' state go on.
        taken[size_t(kept - before.begin())] = true;
        Line line = std::move(*kept);
        line.firstController = int(controllers.size());
        for (int i = 0; i < config.controllers.size(); ++i) {
            ControllerState controller = controllersBefore.at(size_t(kept->firstController + i));
            controller.line = int(lines.size());
            byId.insert(controller.config.id, int(controllers.size()));
            controllers.push_back(controller);
        }
        lines.push_back(std::move(line));
    }
    // The lines that changed or went stop; what never went out on them is answered now.
    QVector<LineJob> unsent;
    for (size_t index = 0; index < before.size(); ++index) {
        if (!taken[index] && before[index].driver)
            unsent += before[index].driver->stop();
    }
    // What waits is found again by its controller's id; a job of a line that
    // stopped is no line's now (it is among the unsent, or still on the old wire).
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        const QString id = it->controller >= 0 ? controllersBefore.at(size_t(it->controller)).config.id : QString();
        it->controller = byId.value(id, -1);
        if (it->controller >= 0 && !lines.at(size_t(controllers.at(size_t(it->controller)).line)).driver)
            it->controller = -1;
    }
    for (const LineJob &job : qAsConst(unsent)) {
        HubResult result;
        result.outcome.kind = Outcome::PortLost;
        result.text = QStringLiteral("not sent: its line was reconfigured");
        finish(job.id, result);
    }
    QStringList refused;
    for (Line &line : lines) {
        if (line.driver)
            continue;
        line.driver = factory(line.key, line.state.config, *this);
        QString error;
        if (!line.driver->start(&error))
            refused << QStringLiteral("line %1: %2").arg(line.state.config.name, error);
    }
    emit reconfigured();
    return refused.join(QLatin1Char('\n'));
}
