#include "lineworker.h"

#include "configjson.h"
#include "controller.h"
#include "protocol.h"
#include "registers.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <cstdio>
#include <deque>

namespace {

const QString portLost = QStringLiteral("port lost");

} // namespace

// What the thread owns while it runs: the port and the controllers on it.
class LineWorker::Session
{
public:
    explicit Session(LineWorker &worker) : worker(worker)
    {
        link.abandonRepliesWhen(&worker.stopRequested);
        link.setEcho(worker.config.echo);
        link.setDirectionControl(worker.config.rs485, worker.config.rtsDelayUs,
            QStringLiteral("rs485=") + Rs485::modeName(worker.config.rs485));
        Controller::Waits waits;
        waits.readMs = worker.config.timeoutMs;
        waits.writeAckMs = qMax(waits.writeAckMs, waits.readMs);
        waits.blockAckMs = qMax(waits.blockAckMs, waits.readMs);
        waits = waits.plusWireTime(worker.config.baud);
        for (const ControllerConfig &c : worker.config.controllers) {
            controllers.emplace_back(link, protocol, c.address);
            controllers.back().setWaits(waits);
            const QByteArray prefix
                = worker.trace ? QStringLiteral("%1 %2: ").arg(worker.config.name, c.id).toUtf8() : QByteArray();
            controllers.back().setObserver([this, prefix](const char *what, const Outcome &outcome) {
                exchanges.append(Exchange{outcome.kind, outcome.exceptionCode, outcome.elapsedNs});
                if (!prefix.isEmpty())
                    std::fprintf(
                        stderr, "%s%s\n", prefix.constData(), qPrintable(outcome.traceLine(what, link.prepareName())));
            });
        }
    }

    // Opens the port if it is not open, or was lost; reports each change.
    bool ensurePort()
    {
        if (link.isOpen() && !link.isLost())
            return true;
        const bool open = link.open(worker.config.port, worker.config.baud);
        const QString text = open ? QStringLiteral("open") : link.openErrorText();
        if (text != reported) {
            reported = text;
            emit worker.portChanged(open, text);
        }
        return open;
    }

    void poll(int index)
    {
        PollResult result;
        exchanges.clear();
        if (ensurePort()) {
            const Outcome outcome = controllers[index].readStatus(&result.status);
            result.ok = outcome.kind == Outcome::Ok;
            result.outcome = outcome.describe();
        } else {
            result.outcome = portLost;
        }
        result.time = QDateTime::currentDateTime();
        result.exchanges.swap(exchanges);
        if (!worker.stopRequested) // a reply given up is no reading
            emit worker.polled(index, result);
    }

    void execute(int index, const Command &command)
    {
        CommandResult result;
        result.command = command;
        result.outcome = portLost;
        exchanges.clear();
        if (ensurePort())
            run(controllers[index], command, &result);
        result.exchanges.swap(exchanges);
        if (!worker.stopRequested)
            emit worker.commandDone(index, result);
    }

    void execute(int index, const PassThrough &request, const PassThroughDone &done)
    {
        Outcome outcome;
        outcome.kind = Outcome::PortLost;
        exchanges.clear();
        if (ensurePort()) {
            Controller &controller = controllers[index];
            if (request.function == FuncReadHoldingRegisters)
                outcome = controller.read(request.first, request.count);
            else if (request.function == FuncWriteSingleRegister && request.values.size() == 1)
                outcome = controller.writeRegister(request.first, request.values.first());
            else if (request.function == FuncWriteMultipleRegisters)
                outcome = controller.writeRegisters(
                    request.first, request.values.constData(), quint16(request.values.size()));
        }
        done(outcome);
        QVector<Exchange> taken;
        taken.swap(exchanges);
        if (!worker.stopRequested && !taken.isEmpty())
            emit worker.passedThrough(index, taken);
    }

    SerialLink::OpenError openError() const { return link.openError(); }

    QString reported; // the last port state reported

private:
    static void run(Controller &controller, const Command &command, CommandResult *result)
    {
        Outcome outcome;
        switch (command.kind) {
        case Command::WriteRegister:
            result->written = command.value;
            result->sent = true;
            outcome = controller.writeRegister(command.reg, command.value);
            break;
        case Command::SwitchModule: {
            // The whole mask is one register: read it now, change one bit, write it back.
            StatusBlock status;
            outcome = controller.readStatus(&status);
            if (outcome.kind != Outcome::Ok) {
                result->outcome = QStringLiteral("reading the switch mask: ") + outcome.describe();
                return;
            }
            const quint16 bit = quint16(1u << (command.module - 1));
            result->written = command.on ? (status.ldSwitchMask() | bit) : (status.ldSwitchMask() & ~bit);
            result->sent = true;
            outcome = controller.writeRegister(RegLdSwitchMask, result->written);
            break;
        }
        case Command::ReadConfig: {
            ConfigBlock block;
            outcome = controller.readConfig(&block);
            if (outcome.kind == Outcome::Ok)
                result->config = ConfigJson::toJson(block);
            break;
        }
        case Command::WriteConfig:
            outcome = controller.writeConfig(command.block);
            break;
        }
        result->ok = outcome.kind == Outcome::Ok;
        result->outcome = outcome.describe();
    }

    LineWorker &worker;
    QVector<Exchange> exchanges; // of the poll or command running now, from the controllers' observers
    SerialLink link;
    Protocol protocol;
    std::deque<Controller> controllers; // they keep references to link and protocol
};

LineWorker::LineWorker(const LineConfig &line, int pollIntervalMs, bool trace, QObject *parent)
    : QThread(parent), config(line), intervalMs(pollIntervalMs), trace(trace)
{
    qRegisterMetaType<PollResult>();
    qRegisterMetaType<CommandResult>();
    qRegisterMetaType<QVector<Exchange>>();
}

LineWorker::~LineWorker()
{
    stop();
}

SerialLink::OpenError LineWorker::startAndOpen(QString *text)
{
    start();
    QMutexLocker lock(&mutex);
    while (!opened)
        openDone.wait(&mutex);
    *text = openText;
    return openError;
}

bool LineWorker::enqueue(int controller, const Command &command)
{
    QMutexLocker lock(&mutex);
    if (queuedCommands >= MaxQueuedCommands)
        return false;
    Job job;
    job.controller = controller;
    job.command = command;
    jobs.enqueue(job);
    ++queuedCommands;
    wake.wakeAll();
    return true;
}

bool LineWorker::enqueue(int controller, const PassThrough &request, PassThroughDone done)
{
    QMutexLocker lock(&mutex);
    if (queuedRequests >= MaxQueuedRequests || stopRequested)
        return false;
    Job job;
    job.controller = controller;
    job.passThrough = true;
    job.request = request;
    job.done = std::move(done);
    jobs.enqueue(job);
    ++queuedRequests;
    wake.wakeAll();
    return true;
}

void LineWorker::stop()
{
    {
        QMutexLocker lock(&mutex);
        stopRequested = true;
        wake.wakeAll();
    }
    wait();
    // Requests that never went out: their clients are told the line is gone.
    QMutexLocker lock(&mutex);
    Outcome notSent;
    notSent.kind = Outcome::PortLost;
    while (!jobs.isEmpty()) {
        const Job job = jobs.dequeue();
        if (job.passThrough)
            job.done(notSent);
    }
    queuedCommands = queuedRequests = 0;
}

bool LineWorker::stopping() const
{
    QMutexLocker lock(&mutex);
    return stopRequested;
}

bool LineWorker::takeJob(Job *next)
{
    QMutexLocker lock(&mutex);
    if (jobs.isEmpty() || stopRequested)
        return false;
    *next = jobs.dequeue();
    --(next->passThrough ? queuedRequests : queuedCommands);
    return true;
}

void LineWorker::waitForWork(qint64 ms)
{
    QMutexLocker lock(&mutex);
    if (jobs.isEmpty() && !stopRequested)
        wake.wait(&mutex, ulong(ms));
}

void LineWorker::run()
{
    Session session(*this);
    const bool open = session.ensurePort();
    {
        QMutexLocker lock(&mutex);
        opened = true;
        openText = session.reported;
        openError = open ? SerialLink::NoError : session.openError();
        openDone.wakeAll();
    }

    // Each controller is due every interval; when the line cannot keep up,
    // the one polled longest ago goes first, so all slow down alike.
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> due(size_t(config.controllers.size()), 0);
    while (!stopping()) {
        Job next;
        const bool took = takeJob(&next);
        if (took && next.passThrough) {
            session.execute(next.controller, next.request, next.done);
        } else if (took) {
            session.execute(next.controller, next.command);
            due[size_t(next.controller)] = clock.elapsed(); // show the command's effect at once
        }
        const auto earliest = std::min_element(due.begin(), due.end());
        const qint64 now = clock.elapsed();
        if (*earliest > now) {
            if (!took)
                waitForWork(*earliest - now);
            continue;
        }
        session.poll(int(earliest - due.begin()));
        *earliest = qMax(*earliest + intervalMs, now);
    }
}
