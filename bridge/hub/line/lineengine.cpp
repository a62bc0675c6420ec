#include "lineengine.h"

#include "registers.h"

#include <cstdio>

LineEngine::LineEngine(
    const Settings &settings, std::unique_ptr<LinePort> port, Sink &sink, std::function<qint64()> now)
    : settings(settings),
      port(std::move(port)),
      sink(sink),
      now(std::move(now)),
      schedule(settings.line.controllers.size(), settings.pollIntervalMs, settings.offlinePollMs)
{
    schedule.start(this->now());
    Controller::Waits waits;
    waits.readMs = settings.line.timeoutMs;
    waits.writeAckMs = qMax(waits.writeAckMs, waits.readMs);
    waits.blockAckMs = qMax(waits.blockAckMs, waits.readMs);
    waits = waits.plusWireTime(settings.line.baud);
    Link &link = this->port->link();
    for (const ControllerConfig &c : settings.line.controllers) {
        controllers.emplace_back(link, protocol, c.address);
        Controller &controller = controllers.back();
        controller.setWaits(waits);
        controller.setVerify(settings.verify);
        const QByteArray prefix
            = settings.trace ? QStringLiteral("%1 %2: ").arg(settings.line.name, c.id).toUtf8() : QByteArray();
        controller.setObserver([this, prefix, &link](const char *what, const Outcome &outcome) {
            exchanges.append(Exchange{outcome.kind, outcome.exceptionCode, outcome.elapsedNs});
            if (!prefix.isEmpty())
                std::fprintf(
                    stderr, "%s%s\n", prefix.constData(), qPrintable(outcome.traceLine(what, link.prepareName())));
        });
    }
}

void LineEngine::post(const LineJob &job)
{
    (job.request.isWrite() ? writes : reads).enqueue(job);
}

void LineEngine::cancel(quint64 id)
{
    for (QQueue<LineJob> *queue : {&writes, &reads}) {
        for (int i = 0; i < queue->size(); ++i) {
            if (queue->at(i).id == id) {
                queue->removeAt(i);
                return;
            }
        }
    }
}

QVector<LineJob> LineEngine::takeWaiting()
{
    QVector<LineJob> waiting;
    for (QQueue<LineJob> *queue : {&writes, &reads}) {
        while (!queue->isEmpty())
            waiting.append(queue->dequeue());
    }
    return waiting;
}

bool LineEngine::ensurePort()
{
    const bool open = port->ensureOpen();
    const QString text = port->stateText();
    if (text != reported) {
        reported = text;
        sink.portChanged(open, text);
    }
    return open;
}

qint64 LineEngine::step(qint64 nowMs)
{
    const LineScheduler::Next next = schedule.next(nowMs, !writes.isEmpty(), !reads.isEmpty());
    switch (next.kind) {
    case LineScheduler::Kind::Idle:
        return qMax<qint64>(1, next.waitMs);
    case LineScheduler::Kind::Write:
        run(writes.dequeue());
        break;
    case LineScheduler::Kind::Poll:
        poll(next.controller);
        break;
    case LineScheduler::Kind::Read:
        schedule.read();
        run(reads.dequeue());
        break;
    }
    return 0;
}

void LineEngine::poll(int index)
{
    PollDone done;
    done.controller = index;
    exchanges.clear();
    Outcome outcome;
    outcome.kind = Outcome::PortLost;
    if (ensurePort())
        outcome = controllers[size_t(index)].readStatus(&done.status);
    else
        exchanges.append(Exchange{Outcome::PortLost, 0, 0}); // the request could not go out
    done.kind = outcome.kind;
    done.text = outcome.describe();
    done.atMs = now();
    done.time = QDateTime::currentDateTime();
    schedule.polled(index, done.ok(), done.atMs, !reads.isEmpty());
    done.failures = schedule.failures(index);
    done.offline = schedule.offline(index);
    done.exchanges.swap(exchanges);
    sink.polled(done);
}

void LineEngine::run(const LineJob &job)
{
    runningRequest = true;
    JobDone done;
    done.id = job.id;
    done.controller = job.controller;
    done.request = job.request;
    exchanges.clear();
    done.result.outcome.kind = Outcome::PortLost;
    if (ensurePort())
        carryOut(controllers[size_t(job.controller)], job.request, &done.result);
    else
        exchanges.append(Exchange{Outcome::PortLost, 0, 0});
    if (done.result.text.isEmpty())
        done.result.text = done.result.outcome.describe();
    // Read back and found otherwise: the request's outcome, counted as the read-back's.
    if (done.result.outcome.kind == Outcome::NotApplied && !exchanges.isEmpty())
        exchanges.last().kind = Outcome::NotApplied;
    done.atMs = now();
    done.exchanges.swap(exchanges);
    // Show a write's effect at once: its controller is polled next.
    if (job.request.isWrite() && done.result.sent)
        schedule.touched(job.controller, done.atMs);
    runningRequest = false;
    sink.jobDone(done);
}

void LineEngine::carryOut(Controller &controller, const HubRequest &request, HubResult *result)
{
    Outcome &outcome = result->outcome;
    switch (request.kind) {
    case HubRequest::ReadRegisters:
        outcome = controller.read(request.first, request.count);
        if (outcome.kind == Outcome::Ok) {
            const auto *data = reinterpret_cast<const quint8 *>(outcome.reply.constData()) + 3;
            for (int i = 0; i < request.count; ++i)
                result->words.append(quint16((data[2 * i] << 8) | data[2 * i + 1]));
        }
        return;
    case HubRequest::WriteRegister:
        result->sent = true;
        result->written = request.values.value(0);
        outcome = controller.writeRegister(request.first, result->written);
        return;
    case HubRequest::WriteRegisters:
        result->sent = true;
        outcome = controller.writeRegisters(request.first, request.values.constData(), quint16(request.values.size()));
        return;
    case HubRequest::SwitchModule: {
        // The whole mask is one register: read it now, change one bit, write it back.
        StatusBlock status;
        outcome = controller.readStatus(&status);
        if (outcome.kind != Outcome::Ok) {
            result->text = QStringLiteral("reading the switch mask: ") + outcome.describe();
            return;
        }
        const quint16 bit = quint16(1u << (request.module - 1));
        result->written = request.on ? (status.ldSwitchMask() | bit) : (status.ldSwitchMask() & ~bit);
        result->sent = true;
        outcome = controller.writeRegister(RegLdSwitchMask, result->written);
        return;
    }
    }
}
