#ifndef BUSTRACE_H
#define BUSTRACE_H

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// One exchange as the panel reports it on its bus trace category: what it
// sent, what came back, its own verdict ("ok", "time-out", "short",
// "bad CRC", "short (CRC ok)", "sent", "port lost") and when the panel
// logged it (monotonic, nanoseconds), which is right after the request was
// written and the reply read.
struct BusExchange
{
    QString what;
    QByteArray request;
    QByteArray reply;
    QString outcome;
    qint64 atNs = 0;
};

// Switches the bus trace on for its lifetime and records what it reports;
// other messages go on to the handler that was installed before. Traces may
// nest (a helper's inside a test's): each records every exchange.
class BusTrace
{
public:
    BusTrace();
    ~BusTrace();
    BusTrace(const BusTrace &) = delete;
    BusTrace &operator=(const BusTrace &) = delete;

    QList<BusExchange> exchanges() const;
    BusExchange last() const;
    // True once an exchange whose request starts with `firstHex` was followed
    // by an answered ("ok") exchange whose request is `thenHex` (hexFrame's form).
    bool answeredAfter(const QString &firstHex, const QString &thenHex) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    mutable QMutex m_mutex;
    QList<BusExchange> m_exchanges;
};

#endif // BUSTRACE_H
