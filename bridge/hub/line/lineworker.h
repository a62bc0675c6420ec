#ifndef LINEWORKER_H
#define LINEWORKER_H

#include "lineengine.h"

#include <QMutex>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>

// One RS-485 line on a thread of its own: its engine (port, controllers,
// polls and requests) runs there, so a controller that does not answer costs
// its waits on this line only. Requests are handed over from any thread and
// what became of them goes out as signals, which reach the hub queued.
class LineWorker : public QThread
{
    Q_OBJECT

public:
    // A stopping line lets a request in progress finish for this long before
    // its reply is given up (a poll is given up at once).
    static constexpr int StopGraceMs = 5000;

    LineWorker(const LineEngine::Settings &settings, QObject *parent = nullptr);
    ~LineWorker() override;

    // Starts the thread and waits for its first attempt to open the port:
    // true when the port opened or is missing (it is waited for), false, with
    // the sentence in `text`, when it was refused (busy, no permission, ...).
    bool startAndOpen(QString *text);
    void post(const LineJob &job);
    void cancel(quint64 id);
    // Ends the thread: the request in progress finishes, a poll in progress is
    // given up. Returns the jobs that never went out.
    QVector<LineJob> stop();

signals:
    void jobDone(const JobDone &done);
    void polled(const PollDone &done);
    void portChanged(bool open, const QString &text);

protected:
    void run() override;

private:
    class Relay;

    const LineEngine::Settings settings;
    QMutex mutex;
    QWaitCondition wake;
    QVector<LineJob> incoming;
    QVector<quint64> cancelled;
    QVector<LineJob> unsent; // handed back when the thread ends
    bool stopRequested = false;
    std::atomic<bool> abandon{false};
    std::atomic<const LineEngine *> engine{nullptr};
    // The first attempt to open the port.
    QWaitCondition opened;
    bool openTried = false;
    bool openRefused = false;
    QString openText;
};

#endif // LINEWORKER_H
