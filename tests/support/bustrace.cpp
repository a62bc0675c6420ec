#include "bustrace.h"

#include "modbusframes.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QRegularExpression>

namespace {

// The traces alive now, innermost last: each records every exchange.
QList<BusTrace *> s_active;
QtMessageHandler s_previous = nullptr;

qint64 monotonicNs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed();
}

} // namespace

BusTrace::BusTrace()
{
    monotonicNs();
    if (s_active.isEmpty()) {
        QLoggingCategory::setFilterRules(QStringLiteral("vortanix.bus.debug=true"));
        s_previous = qInstallMessageHandler(&BusTrace::handler);
    }
    s_active.append(this);
}

BusTrace::~BusTrace()
{
    s_active.removeOne(this);
    if (s_active.isEmpty()) {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
    }
}

QList<BusExchange> BusTrace::exchanges() const
{
    QMutexLocker lock(&m_mutex);
    return m_exchanges;
}

BusExchange BusTrace::last() const
{
    QMutexLocker lock(&m_mutex);
    return m_exchanges.isEmpty() ? BusExchange() : m_exchanges.last();
}

void BusTrace::clear()
{
    QMutexLocker lock(&m_mutex);
    m_exchanges.clear();
}

void BusTrace::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!s_active.isEmpty() && context.category && qstrcmp(context.category, "vortanix.bus") == 0) {
        const qint64 at = monotonicNs();
        static const QRegularExpression line(
            QStringLiteral("^(.+?) req ([0-9A-F ]*?) \\| rep ([0-9A-F ]*?) \\| .* ms\\) \\| (.+)$"));
        const QRegularExpressionMatch m = line.match(message);
        if (m.hasMatch()) {
            BusExchange exchange;
            exchange.what = m.captured(1);
            exchange.request = frameFromHex(m.captured(2));
            exchange.reply = frameFromHex(m.captured(3));
            exchange.outcome = m.captured(4);
            exchange.atNs = at;
            for (BusTrace *trace : qAsConst(s_active)) {
                QMutexLocker lock(&trace->m_mutex);
                trace->m_exchanges.append(exchange);
            }
        }
        return;
    }
    if (s_previous)
        s_previous(type, context, message);
}

bool BusTrace::answeredAfter(const QString &firstHex, const QString &thenHex) const
{
    bool firstSeen = false;
    for (const BusExchange &exchange : exchanges()) {
        const QString request = hexFrame(exchange.request);
        if (request.startsWith(firstHex))
            firstSeen = true;
        else if (firstSeen && request == thenHex && exchange.outcome == QStringLiteral("ok"))
            return true;
    }
    return false;
}
