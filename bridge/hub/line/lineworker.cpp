#include "lineworker.h"

#include "linehub.h"

#include <QMutexLocker>

// The engine's sink on the line's thread: each report becomes a signal.
class LineWorker::Relay : public LineEngine::Sink
{
public:
    explicit Relay(LineWorker &worker) : worker(worker) { }
    void jobDone(const JobDone &done) override { emit worker.jobDone(done); }
    void polled(const PollDone &done) override
    {
        if (!worker.abandon) // a reply given up is no reading
            emit worker.polled(done);
    }
    void portChanged(bool open, const QString &text) override { emit worker.portChanged(open, text); }

private:
    LineWorker &worker;
};

LineWorker::LineWorker(const LineEngine::Settings &settings, QObject *parent) : QThread(parent), settings(settings)
{
    qRegisterMetaType<JobDone>();
    qRegisterMetaType<PollDone>();
}

LineWorker::~LineWorker()
{
    stop();
}

bool LineWorker::startAndOpen(QString *text)
{
    start();
    QMutexLocker lock(&mutex);
    while (!openTried)
        opened.wait(&mutex);
    *text = openText;
    return !openRefused;
}

void LineWorker::post(const LineJob &job)
{
    QMutexLocker lock(&mutex);
    incoming.append(job);
    wake.wakeAll();
}

void LineWorker::cancel(quint64 id)
{
    QMutexLocker lock(&mutex);
    cancelled.append(id);
    wake.wakeAll();
}

QVector<LineJob> LineWorker::stop()
{
    {
        QMutexLocker lock(&mutex);
        stopRequested = true;
        wake.wakeAll();
    }
    const LineEngine *running = engine;
    if (!running || !running->requestRunning() || !wait(StopGraceMs))
        abandon = true;
    wait();
    QMutexLocker lock(&mutex);
    QVector<LineJob> left = unsent + incoming;
    unsent.clear();
    incoming.clear();
    return left;
}

void LineWorker::run()
{
    const LineHub::Clock now = LineHub::steadyMs;
    Relay relay(*this);
    LineEngine line(settings, std::make_unique<HeldLinePort>(settings.line, &abandon), relay, now);
    engine = &line;
    const bool open = line.ensurePort();
    {
        QMutexLocker lock(&mutex);
        openTried = true;
        openRefused = !open && !line.portMissing();
        openText = line.portText();
        opened.wakeAll();
    }
    for (;;) {
        {
            QMutexLocker lock(&mutex);
            for (const LineJob &job : qAsConst(incoming))
                line.post(job);
            incoming.clear();
            for (quint64 id : qAsConst(cancelled))
                line.cancel(id);
            cancelled.clear();
            if (stopRequested)
                break;
        }
        const qint64 waitMs = line.step(now());
        if (waitMs > 0) {
            QMutexLocker lock(&mutex);
            if (incoming.isEmpty() && cancelled.isEmpty() && !stopRequested)
                wake.wait(&mutex, ulong(waitMs));
        }
    }
    engine = nullptr;
    QMutexLocker lock(&mutex);
    unsent = line.takeWaiting();
}
