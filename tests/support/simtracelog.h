#ifndef SIMTRACELOG_H
#define SIMTRACELOG_H

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

// Collects the trace lines of a virtual line, which come from its thread.
// The sink shares the lines with the log, so a line that outlives the log
// does no harm.
class SimTraceLog
{
public:
    // A sink for VirtualLine::setTraceSink().
    std::function<void(const QString &)> sink();
    QStringList lines() const;
    bool contains(const QString &text) const;
    void clear();

private:
    struct Lines
    {
        std::mutex mutex;
        QStringList lines;
    };
    std::shared_ptr<Lines> m_lines = std::make_shared<Lines>();
};

#endif // SIMTRACELOG_H
