#include "controllerstate.h"

#include "registermap.h"
#include "registers.h"

bool ControllerState::serve(
    quint16 first, int count, qint64 nowMs, int maxAgeMs, QVector<quint16> *words, qint64 *ageMs) const
{
    if (maxAgeMs <= 0 || count < 1)
        return false;
    QVector<quint16> found;
    qint64 oldest = 0;
    for (int i = 0; i < count; ++i) {
        const auto it = held.constFind(quint16(first + i));
        if (it == held.constEnd() || nowMs - it->atMs >= maxAgeMs)
            return false;
        found.append(it->value);
        oldest = qMax(oldest, nowMs - it->atMs);
    }
    *words = found;
    *ageMs = oldest;
    return true;
}

void ControllerState::hold(quint16 first, const QVector<quint16> &words, qint64 atMs)
{
    for (int i = 0; i < words.size(); ++i)
        held.insert(quint16(first + i), Held{words.at(i), atMs});
    for (const RegisterMap::Row &row : RegisterMap::rows()) {
        if (row.followsConfig >= first && row.followsConfig < first + words.size())
            held.insert(row.reg, Held{words.at(row.followsConfig - first), atMs});
    }
}

void ControllerState::drop(quint16 first, int count)
{
    for (int i = 0; i < count; ++i)
        held.remove(quint16(first + i));
    for (const RegisterMap::Row &row : RegisterMap::rows()) {
        if (row.followsConfig >= first && row.followsConfig < first + count)
            held.remove(row.reg);
    }
}

qint64 ControllerState::ageOf(quint16 reg, qint64 nowMs) const
{
    const auto it = held.constFind(reg);
    return it == held.constEnd() ? -1 : nowMs - it->atMs;
}

bool ControllerState::word(quint16 reg, quint16 *value) const
{
    if (reg >= StatusBlockFirst && reg < StatusBlockFirst + StatusBlockCount) {
        *value = status.word(reg);
        return haveStatus;
    }
    const auto it = held.constFind(reg);
    if (it == held.constEnd())
        return false;
    *value = it->value;
    return true;
}
