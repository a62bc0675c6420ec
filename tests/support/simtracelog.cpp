#include "simtracelog.h"

#include <algorithm>

std::function<void(const QString &)> SimTraceLog::sink()
{
    return [lines = m_lines](const QString &line) {
        std::lock_guard<std::mutex> lock(lines->mutex);
        lines->lines.append(line);
    };
}

QStringList SimTraceLog::lines() const
{
    std::lock_guard<std::mutex> lock(m_lines->mutex);
    return m_lines->lines;
}

void SimTraceLog::clear()
{
    std::lock_guard<std::mutex> lock(m_lines->mutex);
    m_lines->lines.clear();
}

bool SimTraceLog::contains(const QString &text) const
{
    const QStringList all = lines();
    return std::any_of(all.begin(), all.end(), [&text](const QString &line) { return line.contains(text); });
}
