#include "bustrace.h"

#include "panelrig.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QRegularExpression>

namespace {

BusTrace *s_active = nullptr;
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
    s_active = this;
    QLoggingCategory::setFilterRules(QStringLiteral("vortanix.bus.debug=true"));
    s_previous = qInstallMessageHandler(&BusTrace::handler);
}

BusTrace::~BusTrace()
{
    qInstallMessageHandler(s_previous);
    QLoggingCategory::setFilterRules(QString());
    s_active = nullptr;
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
    if (s_active && context.category && qstrcmp(context.category, "vortanix.bus") == 0) {
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
            QMutexLocker lock(&s_active->m_mutex);
            s_active->m_exchanges.append(exchange);
        }
        return;
    }
    if (s_previous)
        s_previous(type, context, message);
}
