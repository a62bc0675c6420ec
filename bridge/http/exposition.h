#ifndef EXPOSITION_H
#define EXPOSITION_H

#include <QByteArray>
#include <QString>

#include <initializer_list>
#include <utility>

// Writes Prometheus' text exposition format, version 0.0.4: for each family
// its # HELP and # TYPE lines, then its samples, one a line:
//   name{label="value",...} 25.3
// Label values are escaped (backslash, double quote, line feed) and HELP
// texts too (backslash, line feed); numbers are written in the shortest form
// that reads back as the same double, NaN and ±Inf as Prometheus spells them.
class Exposition
{
public:
    enum Type { Gauge, Counter, Histogram };
    using Labels = std::initializer_list<std::pair<const char *, QString>>;

    // Writes into `memory`, emptied first: a page written into the last
    // page's memory (once nobody else holds it) needs no fresh pages from
    // the system, which for a megabyte cost more than the writing.
    explicit Exposition(QByteArray memory = QByteArray());

    // Starts a family; its samples follow.
    void family(const char *name, Type type, const char *help);
    // One sample: `name` is the family's, or for a histogram the family's
    // with _bucket, _sum or _count; `labels` come from labels() or withLabel().
    void sample(const char *name, const QByteArray &labels, double value);
    void sample(const char *name, const QByteArray &labels, quint64 value);

    // name="value",name="value" for the braces of a sample, escaped.
    static QByteArray labels(Labels labels);
    // One more label after those of `labels` (which may be empty).
    static QByteArray withLabel(const QByteArray &labels, const char *name, const QString &value);
    static QByteArray escapeLabelValue(const QString &value);
    static QByteArray number(double value);

    void reserve(int bytes) { out.reserve(bytes); }
    const QByteArray &text() const { return out; }
    QByteArray take();

private:
    void sampleStart(const char *name, const QByteArray &labels);

    QByteArray out;
};

#endif // EXPOSITION_H
